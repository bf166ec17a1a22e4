#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "link/LinkResult.h"

// The statistics log of continuous read: one "cycle time;step;result" record per line, appended to
// a file the user names at each start. The file is opened for appending (never truncated) and
// locked against other writers while it is open; every record reaches the file before WriteRecord
// returns.
class CStatisticsLog {
public:
    // Asks the user for the file: its path, or nothing when the user cancelled.
    using FileChooser = std::function<std::optional<std::string>()>;
    // Shows a file error's description to the user (an exclamation box).
    using ErrorSink = std::function<void(const std::string& description)>;

    CStatisticsLog() = default;
    ~CStatisticsLog();
    CStatisticsLog(const CStatisticsLog&) = delete;
    CStatisticsLog& operator=(const CStatisticsLog&) = delete;

    // Asks for the file and opens it. False when the user cancelled (no message) or the file
    // cannot be opened (its description shown): then nothing is open and logging must not start.
    bool PromptAndOpen(const FileChooser& choose, const ErrorSink& showError);
    // Opens path for appending; false with the description in error.
    bool Open(const std::string& path, std::string& error);
    // Appends one record. False with the description in error when the record did not reach the
    // file whole.
    bool WriteRecord(uint32_t cycleTimeMs, int step, LinkResult result, std::string& error);
    void Close();
    bool IsOpen() const { return m_nFd >= 0; }
    const std::string& GetPath() const { return m_strPath; }

    // One record with its line end. The cycle time is printed signed, so after about 24.8 days of
    // continuous read it turns negative, as older logs show it.
    static std::string FormatRecord(uint32_t cycleTimeMs, int step, LinkResult result);

private:
    int m_nFd = -1;
    bool m_bLineBreakFirst = false;  // the file ended inside a line when it was opened
    std::string m_strPath;
};
