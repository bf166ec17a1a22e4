#include "link/SerialLine.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>

namespace {

constexpr int64_t kNsPerMs = 1000000;
// A read that returns at once still waits this long for a first byte, so that a loop polling
// for one byte sleeps in the kernel instead of spinning.
constexpr int64_t kPollingWaitNs = kNsPerMs;

// The open lines' descriptors, for ReleaseAllForExit; a program holds one or two.
std::atomic<int> g_openFds[8] = {-1, -1, -1, -1, -1, -1, -1, -1};

void Register(int fd) {
    for (auto& slot : g_openFds) {
        int expected = -1;
        if (slot.compare_exchange_strong(expected, fd)) {
            return;
        }
    }
}

void Unregister(int fd) {
    for (auto& slot : g_openFds) {
        int expected = fd;
        if (slot.compare_exchange_strong(expected, -1)) {
            return;
        }
    }
}

int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

bool SpeedOf(uint32_t baudRate, speed_t& speed) {
    static const struct {
        uint32_t baud;
        speed_t speed;
    } speeds[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& entry : speeds) {
        if (entry.baud == baudRate) {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

// Modem-line calls: a pseudo-terminal has no modem lines and refuses them, which is no fault.
int SetModemLines(int fd, unsigned long request) {
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd, request, &lines) == 0 || errno == ENOTTY || errno == EINVAL || errno == EOPNOTSUPP) {
        return 0;
    }
    return errno;
}

// Waits for events on fd up to timeoutNs (negative: no limit). 1 ready, 0 time-out, else -errno.
// A hang-up or error without the awaited event means the device went away.
int WaitFor(int fd, short events, int64_t timeoutNs) {
    pollfd entry{fd, events, 0};
    timespec limit{};
    if (timeoutNs >= 0) {
        limit.tv_sec = static_cast<time_t>(timeoutNs / 1000000000);
        limit.tv_nsec = static_cast<long>(timeoutNs % 1000000000);
    }
    int ready;
    do {
        ready = ppoll(&entry, 1, timeoutNs >= 0 ? &limit : nullptr, nullptr);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        return -errno;
    }
    if (ready == 0) {
        return 0;
    }
    if ((entry.revents & POLLNVAL) != 0) {
        return -EBADF;
    }
    // A hung-up line also reports itself readable, but a read then gives nothing, forever.
    if ((entry.revents & (POLLHUP | POLLERR)) != 0) {
        return -EIO;
    }
    return 1;
}

}  // namespace

bool SerialLine::SupportsBaudRate(uint32_t baudRate) {
    speed_t speed;
    return SpeedOf(baudRate, speed);
}

SerialLine::~SerialLine() {
    Close();
}

int SerialLine::Open(const std::string& name) {
    Close();
    const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    if (!isatty(fd)) {
        close(fd);
        return ENOTTY;
    }
    // TIOCEXCL keeps other programs out, but root passes it; the lock also stops root and
    // a second line in this process. The lock comes first: whoever finds the flag set without a
    // lock behind it (the simulated reader) may take the flag for a stale one.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        const int error = (errno == EWOULDBLOCK) ? EBUSY : errno;
        close(fd);
        return error;
    }
    m_nFd = fd;
    Register(fd);
    return 0;
}

int SerialLine::Configure(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits,
                          uint32_t handshake) {
    if (m_nFd < 0) {
        return EBADF;
    }
    speed_t speed;
    if (!SpeedOf(baudRate, speed) || dataBits < 5 || dataBits > 8 || parity > 4 || stopBits > 2) {
        return EINVAL;
    }
    termios settings{};
    if (tcgetattr(m_nFd, &settings) != 0) {
        return errno;
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    settings.c_cflag |= sizes[dataBits - 5];
    static const tcflag_t parities[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD,
                                        PARENB | CMSPAR};
    settings.c_cflag |= parities[parity];
    // termios knows one or two stop bits; one and a half becomes two.
    if (stopBits != 0) {
        settings.c_cflag |= CSTOPB;
    }
    if (handshake != 0) {
        settings.c_cflag |= CRTSCTS;
    }
    // Reads never block in the driver: poll() does the waiting.
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0 ||
        tcsetattr(m_nFd, TCSANOW, &settings) != 0) {
        return errno;
    }
    return SetModemLines(m_nFd, TIOCMBIS);
}

int SerialLine::Purge() {
    if (m_nFd < 0) {
        return EBADF;
    }
    // Input only: output a write has handed over (often the acknowledgement that ends an exchange)
    // must still reach the reader.
    return tcflush(m_nFd, TCIFLUSH) == 0 ? 0 : errno;
}

int SerialLine::Write(const uint8_t* bytes, uint32_t n, uint32_t& written) {
    written = 0;
    if (m_nFd < 0) {
        return EBADF;
    }
    const uint64_t totalMs = uint64_t{m_timeouts.writeMultiplier} * n + m_timeouts.writeConstant;
    const int64_t deadline = totalMs != 0 ? NowNs() + static_cast<int64_t>(totalMs) * kNsPerMs : -1;
    while (written < n) {
        const ssize_t count = write(m_nFd, bytes + written, n - written);
        if (count > 0) {
            written += static_cast<uint32_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && errno != EAGAIN) {
            return errno;
        }
        int64_t wait = -1;
        if (deadline >= 0) {
            wait = deadline - NowNs();
            if (wait <= 0) {
                return 0;  // the write time-out ran out: a short write
            }
        }
        const int ready = WaitFor(m_nFd, POLLOUT, wait);
        if (ready < 0) {
            return -ready;
        }
    }
    return 0;
}

int SerialLine::WaitReadable(int64_t timeoutNs) {
    return WaitFor(m_nFd, POLLIN, timeoutNs);
}

int SerialLine::Read(uint8_t* destination, uint32_t n, uint32_t& received, const ReadComplete& complete) {
    received = 0;
    if (m_nFd < 0) {
        return EBADF;
    }
    // Takes what is queued, without waiting; 0 or errno. finished: n bytes, or complete() said so.
    bool finished = false;
    auto takeQueued = [&]() -> int {
        while (received < n) {
            const uint32_t want = complete ? 1 : n - received;
            const ssize_t count = read(m_nFd, destination + received, want);
            if (count > 0) {
                received += static_cast<uint32_t>(count);
                if (complete && complete({destination, received})) {
                    finished = true;
                    return 0;
                }
                continue;
            }
            if (count < 0 && errno == EINTR) {
                continue;
            }
            // Raw mode without a minimum count gives 0 for an empty queue; a hang-up shows in poll.
            if (count == 0 || errno == EAGAIN) {
                return 0;
            }
            return errno;
        }
        finished = true;
        return 0;
    };

    if (n == 0) {
        return 0;
    }
    // Every read starts in poll(): on a quiet line that is the only call it makes.
    if (m_timeouts.ReturnsAtOnce()) {
        const int ready = WaitReadable(kPollingWaitNs);
        if (ready < 0) {
            return -ready;
        }
        return ready > 0 ? takeQueued() : 0;
    }

    const int64_t start = NowNs();
    const uint64_t totalMs = uint64_t{m_timeouts.readMultiplier} * n + m_timeouts.readConstant;
    const int64_t deadline = totalMs != 0 ? start + static_cast<int64_t>(totalMs) * kNsPerMs : -1;
    const uint32_t interval =
        m_timeouts.readInterval == SerialTimeouts::kReturnAtOnce ? 0 : m_timeouts.readInterval;
    int64_t lastByte = start;
    for (;;) {
        const int64_t now = NowNs();
        bool limited = false;
        int64_t wait = 0;
        if (deadline >= 0) {
            limited = true;
            wait = deadline - now;
        }
        if (received > 0 && interval != 0) {
            const int64_t gapLeft = lastByte + int64_t{interval} * kNsPerMs - now;
            wait = limited ? std::min(wait, gapLeft) : gapLeft;
            limited = true;
        }
        if (limited && wait <= 0) {
            return 0;
        }
        const int ready = WaitReadable(limited ? wait : -1);
        if (ready < 0) {
            return -ready;
        }
        if (ready == 0) {
            continue;
        }
        const uint32_t before = received;
        if (int error = takeQueued(); error != 0) {
            return error;
        }
        if (received != before) {
            lastByte = NowNs();
        }
        if (finished) {
            return 0;
        }
    }
}

int SerialLine::HangUpError() const {
    if (m_nFd < 0) {
        return 0;
    }
    // No event asked for: the hang-up and error conditions are reported all the same, and
    // nothing is taken from the line.
    pollfd entry{m_nFd, 0, 0};
    int ready;
    do {
        ready = poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) {
        return 0;
    }
    if ((entry.revents & POLLNVAL) != 0) {
        return EBADF;
    }
    return (entry.revents & (POLLHUP | POLLERR)) != 0 ? EIO : 0;
}

void SerialLine::ReleaseAllForExit() {
    for (auto& slot : g_openFds) {
        if (const int fd = slot.load(); fd >= 0) {
            ioctl(fd, TIOCNXCL);
        }
    }
}

int SerialLine::Close() {
    if (m_nFd < 0) {
        return 0;
    }
    SetModemLines(m_nFd, TIOCMBIC);
    ioctl(m_nFd, TIOCNXCL);
    Unregister(m_nFd);
    const int result = close(m_nFd) == 0 ? 0 : errno;
    m_nFd = -1;  // the descriptor is gone even when close reports an error
    return result;
}
