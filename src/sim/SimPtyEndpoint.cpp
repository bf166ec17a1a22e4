#include "sim/SimPtyEndpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

using SteadyClock = std::chrono::steady_clock;

std::string SystemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// A Ctrl-C or SIGTERM sent to the process goes to any one thread that does not block it. The front
// end waits for them on its own thread, so the simulator's threads block both from their first
// instruction on (a new thread starts with its creator's mask); the creator's mask is restored.
template <typename Body>
std::thread StartWithoutInterrupts(Body body) {
    sigset_t interrupts;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &interrupts, &previous);
    std::thread thread;
    try {
        thread = std::thread(std::move(body));
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
}

}  // namespace

SimPtyEndpoint::SimPtyEndpoint(std::shared_ptr<SimReader> reader, uint32_t baudRate)
    : m_pReader(std::move(reader)), m_dwBaudRate(baudRate) {}

std::unique_ptr<SimPtyEndpoint> SimPtyEndpoint::Create(std::shared_ptr<SimReader> reader, uint32_t baudRate,
                                                       std::string& error) {
    std::unique_ptr<SimPtyEndpoint> pty(new SimPtyEndpoint(std::move(reader), baudRate));
    pty->m_nMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty->m_nMaster < 0) {
        error = SystemError("posix_openpt");
        return nullptr;
    }
    if (grantpt(pty->m_nMaster) != 0 || unlockpt(pty->m_nMaster) != 0) {
        error = SystemError("unlockpt");
        return nullptr;
    }
    char name[128];
    if (ptsname_r(pty->m_nMaster, name, sizeof name) != 0) {
        error = SystemError("ptsname");
        return nullptr;
    }
    pty->m_strPortName = name;
    pty->m_nSlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty->m_nSlave < 0) {
        error = SystemError(name);
        return nullptr;
    }
    // Raw on both sides: no echo, no line editing, no CR/LF translation, every byte as it is.
    termios tio{};
    if (tcgetattr(pty->m_nSlave, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(pty->m_nSlave, TCSANOW, &tio);
    }
    if (tcgetattr(pty->m_nMaster, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(pty->m_nMaster, TCSANOW, &tio);
    }
    fcntl(pty->m_nMaster, F_SETFL, fcntl(pty->m_nMaster, F_GETFL) | O_NONBLOCK);
    if (pipe2(pty->m_anWake, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = SystemError("pipe");
        return nullptr;
    }
    SimPtyEndpoint* self = pty.get();
    pty->m_nListener = pty->m_pReader->AddListener([self] {
        // Only changes made by other threads need waking for; the pty thread sees its own.
        if (std::this_thread::get_id() != self->m_threadId.load()) {
            self->Wake();
        }
    });
    pty->m_thread = StartWithoutInterrupts([self] { self->Run(); });
    return pty;
}

SimPtyEndpoint::~SimPtyEndpoint() {
    if (m_nListener != 0) {
        m_pReader->RemoveListener(m_nListener);
    }
    m_bStop = true;
    if (m_thread.joinable()) {
        Wake();
        m_thread.join();
    }
    for (int fd : {m_nMaster, m_nSlave, m_anWake[0], m_anWake[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void SimPtyEndpoint::Wake() {
    const uint8_t byte = 1;
    // A full pipe already holds a wake-up; nothing is lost when this write fails.
    [[maybe_unused]] ssize_t n = write(m_anWake[1], &byte, 1);
}

bool SimPtyEndpoint::ClearStaleExclusiveFlag() {
    int exclusive = 0;
    if (ioctl(m_nSlave, TIOCGEXCL, &exclusive) != 0 || exclusive == 0) {
        return false;
    }
    // The program that opened the port holds a lock on it while it uses it. A flag without the
    // lock was left by a program that ended without closing the port; since this side keeps the
    // pseudo-terminal open, the flag would shut everyone else out until the simulator ends.
    if (flock(m_nSlave, LOCK_EX | LOCK_NB) != 0) {
        return true;
    }
    ioctl(m_nSlave, TIOCNXCL);
    flock(m_nSlave, LOCK_UN);
    return false;
}

void SimPtyEndpoint::Run() {
    m_threadId = std::this_thread::get_id();
    const auto byteTime = m_dwBaudRate != 0 ? std::chrono::nanoseconds(10'000'000'000LL / m_dwBaudRate)
                                            : std::chrono::nanoseconds(0);
    auto nextByteAt = SteadyClock::now();
    std::vector<uint8_t> out;
    std::vector<uint8_t> in(4096);
    bool backlog = false;  // bytes for the PC were waiting when the thread last went to sleep

    while (!m_bStop) {
        const auto now = SteadyClock::now();
        // A line that had nothing to send starts its schedule afresh; a busy one keeps it, so that a
        // late wake-up sends every byte whose slot has passed instead of shifting all later bytes.
        if (!backlog && now > nextByteAt) {
            nextByteAt = now;
        }
        const size_t due = m_dwBaudRate == 0 || now < nextByteAt
                               ? 0
                               : 1 + static_cast<size_t>((now - nextByteAt) / byteTime);
        // Take what the reader has for the PC: all of it, or the bytes whose time on the line has come.
        if (m_dwBaudRate == 0) {
            m_pReader->Transmit(out, SIZE_MAX, kSource);
        } else if (out.size() < due) {
            m_pReader->Transmit(out, due - out.size(), kSource);
        }
        // Blocked: the PC does not read and the pseudo-terminal's buffer is full; wait until it
        // takes bytes again rather than retrying.
        bool blocked = false;
        if (!out.empty() && (m_dwBaudRate == 0 || now >= nextByteAt)) {
            const size_t count = m_dwBaudRate == 0 ? out.size() : std::min(out.size(), due);
            const ssize_t written = write(m_nMaster, out.data(), count);
            if (written > 0) {
                out.erase(out.begin(), out.begin() + written);
                nextByteAt += byteTime * written;
                blocked = m_dwBaudRate == 0 && !out.empty();
            } else if (written < 0 && errno == EAGAIN) {
                blocked = true;
            } else if (written < 0 && errno != EINTR) {
                out.clear();  // the line is gone; what the reader said is lost, as on a real line
            }
        }

        // Sleep until a byte comes, the line can take more, or the next timed event.
        std::optional<std::chrono::nanoseconds> timeout;
        if (const auto next = m_pReader->MsToNextEvent(kSource)) {
            timeout = std::chrono::milliseconds(*next);
        }
        if (ClearStaleExclusiveFlag()) {
            // A client holds the port: look again now and then, in case it goes away unannounced.
            timeout =
                timeout ? std::min<std::chrono::nanoseconds>(*timeout, kExclusiveCheck) : kExclusiveCheck;
        }
        backlog = !out.empty() || m_pReader->PendingOutput(kSource) != 0;
        if (!blocked && m_dwBaudRate != 0 && backlog) {
            const auto untilByte = std::max(nextByteAt - SteadyClock::now(), SteadyClock::duration::zero());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(untilByte);
            timeout = timeout ? std::min(*timeout, ns) : ns;
        }
        pollfd fds[2] = {{m_nMaster, static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0},
                         {m_anWake[0], POLLIN, 0}};
        timespec ts{};
        if (timeout) {
            ts.tv_sec = static_cast<time_t>(timeout->count() / 1'000'000'000);
            ts.tv_nsec = static_cast<long>(timeout->count() % 1'000'000'000);
        }
        const int ready = ppoll(fds, 2, timeout ? &ts : nullptr, nullptr);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[1].revents & POLLIN) {
            uint8_t drain[64];
            while (read(m_anWake[0], drain, sizeof drain) > 0) {
            }
        }
        if (fds[0].revents & POLLIN) {
            const ssize_t n = read(m_nMaster, in.data(), in.size());
            if (n > 0) {
                m_pReader->Receive({in.data(), static_cast<size_t>(n)}, kSource);
            }
        }
        m_pReader->Tick();
    }
}
