#include "production/ProductionRecord.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

#include "files/RegularFile.h"

#include "programming/ProgrammingSequence.h"

namespace {

std::string Field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

}  // namespace

std::string ProductionRecord::DefaultPath() {
    const char* data = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    std::string dir = "tagbench";
    if (data != nullptr && data[0] == '/') {
        dir = std::string(data) + "/tagbench";
    } else if (home != nullptr && home[0] == '/') {
        dir = std::string(home) + "/.local/share/tagbench";
    }
    return dir + "/production-record.csv";
}

bool ProductionRecord::Check() {
    return Write(nullptr);
}

bool ProductionRecord::Append(const Entry& entry) {
    const std::string line = FormatLine(entry) + "\n";
    return Write(&line);
}

bool ProductionRecord::Write(const std::string* line) {
    m_strError.clear();
    auto fail = [this](const std::string& reason) {
        m_strError = "Could not write the production record " + m_strPath + ": " + reason + ".";
        return false;
    };
    const std::filesystem::path parent = std::filesystem::path(m_strPath).parent_path();
    std::error_code made;
    if (!parent.empty()) {
        std::filesystem::create_directories(parent, made);
    }
    std::string reason;
    const int fd = RegularFile::OpenForAppend(m_strPath, reason);
    if (fd < 0) {
        return fail(made ? std::strerror(made.value()) : reason);
    }
    std::string text;
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0) {
        text = std::string(kHeader) + "\n";
    } else if (RegularFile::LacksFinalLineBreak(m_strPath)) {
        text = "\n";  // a line cut off earlier must not swallow this one
    }
    if (line != nullptr) {
        text += *line;
    }
    // One write with O_APPEND, so that a line lands whole at the end of the file.
    ssize_t written = 0;
    do {
        written = ::write(fd, text.data(), text.size());
    } while (written < 0 && errno == EINTR);
    const int error = written < 0 ? errno : EIO;
    ::close(fd);
    if (written != static_cast<ssize_t>(text.size())) {
        return fail(std::strerror(error));
    }
    return true;
}

bool ProductionRecord::ShouldRecord(const ProgrammingSequence& sequence) {
    const ProgrammingState state = sequence.GetState();
    return sequence.Succeeded() ||
           (state != ProgrammingState::Start && state != ProgrammingState::WaitPrompt);
}

ProductionRecord::Entry ProductionRecord::MakeEntry(const std::string& profile,
                                                    const ProgrammingSequence& sequence, std::time_t when) {
    Entry entry;
    char text[64];
    entry.strTime = FormatTime(when);
    entry.strProfile = profile;
    const ProgrammingInputs& in = sequence.GetInputs();
    entry.strJob = ModeName(in.mode);
    if (in.mode == SerialAndUsbSettings || in.mode == SerialOnly) {
        std::snprintf(text, sizeof text, "%08u", in.mifareSerial);
        entry.strMifareSerial = text;
    }
    if (in.mode == SerialAndUsbSettings || in.mode == UsbSettingsOnly) {
        std::snprintf(text, sizeof text, "%06u", in.usbSerial);
        entry.strUsbSerial = in.manufacturerId + text;
    }
    if (in.mode == DownloadFirmware) {
        entry.strFile = in.filePath;
    }
    if (sequence.Succeeded()) {
        entry.strResult = "OK";
    } else if (sequence.GetState() == ProgrammingState::Failed) {
        entry.strResult = "failed";
    } else {
        // A cancel cannot call back a number that went out: the reader may keep it.
        entry.strResult = sequence.SerialSent() ? "unknown" : "cancelled";
    }
    entry.strMessage = EndMessage(sequence);
    return entry;
}

std::string ProductionRecord::EndMessage(const ProgrammingSequence& sequence) {
    if (sequence.Succeeded()) {
        return {};
    }
    if (sequence.GetState() != ProgrammingState::Failed && sequence.SerialSent()) {
        return "Cancelled after the number went out; not confirmed: the reader may keep it.";
    }
    return sequence.GetLog().empty() ? std::string() : sequence.GetLog().back();
}

std::string ProductionRecord::FormatLine(const Entry& e) {
    const std::string* fields[] = {&e.strTime,      &e.strProfile, &e.strJob,     &e.strMifareSerial,
                                   &e.strUsbSerial, &e.strResult,  &e.strMessage, &e.strFile};
    std::string line;
    for (const std::string* field : fields) {
        if (field != fields[0]) {
            line += ',';
        }
        line += Field(*field);
    }
    return line;
}

const char* ProductionRecord::ModeName(int mode) {
    switch (static_cast<ProgrammingMode>(mode)) {
        case SerialAndUsbSettings:
            return "SerialAndUsbSettings";
        case SerialOnly:
            return "SerialOnly";
        case DownloadFirmware:
            return "DownloadFirmware";
        case SendFile:
            return "SendFile";
        case UsbSettingsOnly:
            return "UsbSettingsOnly";
        case ProgramFile:
            return "ProgramFile";
        case VerifyFile:
            return "VerifyFile";
    }
    return "";
}

std::string ProductionRecord::FormatField(const std::string& text) {
    return Field(text);
}

std::string ProductionRecord::FormatTime(std::time_t when) {
    char text[64];
    std::tm local{};
    localtime_r(&when, &local);
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}
