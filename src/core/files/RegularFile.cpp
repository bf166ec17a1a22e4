#include "files/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kNotRegular = "not a regular file";

// O_NONBLOCK keeps open() from waiting for a FIFO's other end; once the descriptor is known to be
// a file that cannot block, the flag is taken off again.
std::string Refusal(const struct stat& info) {
    return S_ISDIR(info.st_mode) ? std::strerror(EISDIR) : kNotRegular;
}

int OpenChecked(const std::string& path, int flags, bool characterDevicesToo, std::string& reason) {
    // A FIFO is refused by name first, so that it gets the same reason with or without a reader.
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode)) {
        reason = Refusal(info);
        return -1;
    }
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        reason = std::strerror(errno);
        return -1;
    }
    if (fstat(fd, &info) != 0) {
        reason = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    const bool accepted = S_ISREG(info.st_mode) || (characterDevicesToo && S_ISCHR(info.st_mode) &&
                                                    !isatty(fd));  // a terminal can hold a writer
    if (!accepted) {
        reason = Refusal(info);
        ::close(fd);
        return -1;
    }
    const int status = fcntl(fd, F_GETFL);
    if (status >= 0) {
        fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    }
    return fd;
}

}  // namespace

bool RegularFile::ReadAll(const std::string& path, std::vector<uint8_t>& bytes, std::string& reason,
                          uint64_t limit) {
    bytes.clear();
    const int fd = OpenChecked(path, O_RDONLY, false, reason);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    fstat(fd, &info);
    // Files under /proc report no size but have content: read to the end in either case.
    const uint64_t announced = static_cast<uint64_t>(info.st_size);
    if (announced > limit) {
        ::close(fd);
        reason = "larger than " + std::to_string(limit) + " bytes";
        return false;
    }
    bytes.reserve(static_cast<size_t>(announced));
    uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            reason = std::strerror(errno);
            ::close(fd);
            bytes.clear();
            return false;
        }
        if (n == 0) {
            break;
        }
        if (bytes.size() + static_cast<size_t>(n) > limit) {
            ::close(fd);
            bytes.clear();
            reason = "larger than " + std::to_string(limit) + " bytes";
            return false;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    ::close(fd);
    if (announced != 0 && bytes.size() != announced) {
        bytes.clear();
        reason = "the file changed while it was read";
        return false;
    }
    return true;
}

int RegularFile::OpenForAppend(const std::string& path, std::string& reason) {
    return OpenChecked(path, O_WRONLY | O_CREAT | O_APPEND, true, reason);
}

bool RegularFile::LacksFinalLineBreak(const std::string& path) {
    std::string reason;
    const int fd = OpenChecked(path, O_RDONLY, false, reason);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    char last = '\n';
    if (fstat(fd, &info) == 0 && info.st_size > 0 && pread(fd, &last, 1, info.st_size - 1) != 1) {
        last = '\n';
    }
    ::close(fd);
    return last != '\n';
}

bool RegularFile::IsRegular(const std::string& path, std::string& reason) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        reason = Refusal(info);
        return false;
    }
    return true;
}

bool RegularFile::WriteWhole(const std::string& path, const std::string& text, std::string& reason) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        reason = kNotRegular;
        return false;
    }
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    // mkstemp makes the file for its owner alone; what users write here is an ordinary file.
    const mode_t mask = umask(0);
    umask(mask);
    bool ok = fchmod(fd, 0666 & ~mask) == 0;
    for (size_t done = 0; ok && done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    ok = ok && fsync(fd) == 0;
    const int writeErrno = errno;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temp.c_str(), path.c_str()) == 0) {
        return true;
    }
    reason = std::strerror(ok ? errno : writeErrno);
    unlink(temp.c_str());
    return false;
}
