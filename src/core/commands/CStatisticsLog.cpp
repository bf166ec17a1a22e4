#include "commands/CStatisticsLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "files/RegularFile.h"

namespace {

std::string Describe(const char* action, const std::string& path, const char* reason) {
    return std::string(action) + " " + path + ": " + reason;
}

}  // namespace

CStatisticsLog::~CStatisticsLog() {
    Close();
}

bool CStatisticsLog::PromptAndOpen(const FileChooser& choose, const ErrorSink& showError) {
    const std::optional<std::string> path = choose();
    if (!path || path->empty()) {
        return false;
    }
    std::string error;
    if (!Open(*path, error)) {
        showError(error);
        return false;
    }
    return true;
}

bool CStatisticsLog::Open(const std::string& path, std::string& error) {
    Close();
    std::string reason;
    const int fd = RegularFile::OpenForAppend(path, reason);
    if (fd < 0) {
        error = Describe("Cannot open", path, reason.c_str());
        return false;
    }
    // A read-only file is refused also where the permission check would let the write through
    // (the superuser).
    struct stat info {};
    if (fstat(fd, &info) == 0 && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        ::close(fd);
        error = Describe("Cannot open", path, "the file is read-only");
        return false;
    }
    // Another writer would interleave its lines with ours.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        error = Describe("Cannot open", path, "another program is writing to it");
        return false;
    }
    m_nFd = fd;
    m_strPath = path;
    // A file whose last line was cut off gets its line end first, so that the first record does
    // not continue that line.
    m_bLineBreakFirst = RegularFile::LacksFinalLineBreak(path);
    return true;
}

std::string CStatisticsLog::FormatRecord(uint32_t cycleTimeMs, int step, LinkResult result) {
    char line[48];
    std::snprintf(line, sizeof line, "%d;%d;%08X\n", static_cast<int32_t>(cycleTimeMs), step, result);
    return line;
}

bool CStatisticsLog::WriteRecord(uint32_t cycleTimeMs, int step, LinkResult result, std::string& error) {
    if (m_nFd < 0) {
        error = Describe("Cannot write to", m_strPath.empty() ? "the statistics log" : m_strPath,
                         std::strerror(EBADF));
        return false;
    }
    // One write per record with O_APPEND: the record lands at the end of the file and is in the
    // system's hands when the call returns, so no buffer holds it back.
    const std::string line = (m_bLineBreakFirst ? "\n" : "") + FormatRecord(cycleTimeMs, step, result);
    size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(m_nFd, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = Describe("Cannot write to", m_strPath, std::strerror(n < 0 ? errno : EIO));
            return false;
        }
        written += static_cast<size_t>(n);
    }
    m_bLineBreakFirst = false;
    return true;
}

void CStatisticsLog::Close() {
    if (m_nFd >= 0) {
        ::close(m_nFd);  // also releases the lock
        m_nFd = -1;
    }
}
