#pragma once

#include <ctime>
#include <string>

class ProgrammingSequence;

// The production record: one CSV line for every programming run, appended and closed at once, so
// that a production line can show which reader got which number even after a crash.
class ProductionRecord {
public:
    static constexpr const char* kHeader = "time,profile,job,mifare_serial,usb_serial,result,message,file";

    struct Entry {
        std::string strTime;  // local time, "2024-05-01 14:03:22"
        std::string strProfile;
        std::string strJob;           // the job's mode name: SerialAndUsbSettings, ...
        std::string strMifareSerial;  // eight digits, for jobs that store it
        std::string strUsbSerial;     // the USB serial text, for jobs that write it
        std::string strResult;        // OK, failed, cancelled or unknown (see EndMessage)
        std::string strMessage;       // the run's last log line when it did not succeed
        std::string strFile;          // the firmware image of a download
    };

    // $XDG_DATA_HOME/tagbench/production-record.csv, by default below ~/.local/share.
    static std::string DefaultPath();

    explicit ProductionRecord(std::string path = DefaultPath()) : m_strPath(std::move(path)) {}
    void SetPath(const std::string& path) { m_strPath = path; }
    const std::string& GetPath() const { return m_strPath; }

    // Opens the file for appending (its folder is made when missing), writes the header when the
    // file is empty, and closes it. False with the reason in GetError().
    bool Check();
    // Appends one line, with the header first when the file is empty. False with the reason in
    // GetError(); nothing is appended then.
    bool Append(const Entry& entry);
    // "Could not write the production record PATH: REASON."
    const std::string& GetError() const { return m_strError; }

    // Whether the run reached a reader: a run cancelled while it still waited for the loader's
    // prompt touched none and leaves no line.
    static bool ShouldRecord(const ProgrammingSequence& sequence);
    // Why a run that did not succeed ended: its last log line, or, for a run the user cancelled
    // after its number went out (result "unknown": sent, not confirmed), that the reader may keep it.
    static std::string EndMessage(const ProgrammingSequence& sequence);
    static Entry MakeEntry(const std::string& profile, const ProgrammingSequence& sequence, std::time_t when);
    // The entry's CSV line, without its line end; fields with commas, quotes or line breaks quoted.
    static std::string FormatLine(const Entry& entry);
    static std::string FormatField(const std::string& text);
    // Local time, "2024-05-01 14:03:22".
    static std::string FormatTime(std::time_t when);
    // The job's mode name: SerialAndUsbSettings, ...
    static const char* ModeName(int mode);

private:
    bool Write(const std::string* line);

    std::string m_strPath;
    std::string m_strError;
};
