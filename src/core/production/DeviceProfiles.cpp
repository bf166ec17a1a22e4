#define SI_IMPLEMENTATION
#include "production/DeviceProfiles.h"

#include <strings.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "files/RegularFile.h"
#include "production/Ledger.h"

#ifndef TAGBENCH_SYSCONFDIR
#define TAGBENCH_SYSCONFDIR "/etc/tagbench"
#endif

namespace {

// SimpleIni takes a header line that lacks its ']' for the start of a section name that runs on
// across the line breaks after it, and puts the keys that follow into that section. Such a line is
// dropped here, as SimpleIni drops any other line that is neither header, key nor comment. The
// content ends at its first zero byte, and a UTF-8 byte order mark in front is no part of the
// first line, as for SimpleIni.
std::string WithoutBrokenHeaders(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    std::string kept;
    kept.reserve(text.size());
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    size_t at = 0;
    if (text.starts_with(kByteOrderMark)) {
        kept += kByteOrderMark;
        at = kByteOrderMark.size();
    }
    while (at < text.size()) {
        const size_t end = std::min(text.find_first_of("\r\n", at), text.size());
        const std::string_view line = text.substr(at, end - at);
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] != '[' ||
            line.find(']', first) != std::string_view::npos) {
            kept += line;
        }
        kept += text.substr(end, 1);  // the line break, if any
        at = end + 1;
    }
    return kept;
}

}  // namespace

DeviceProfiles::DeviceProfiles() = default;
DeviceProfiles::~DeviceProfiles() = default;

std::string DeviceProfiles::ProgramDirectory() {
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : exe.parent_path().string();
}

std::vector<std::string> DeviceProfiles::SearchPaths() {
    std::vector<std::string> paths = {ProgramDirectory() + "/" + kFileName};
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    // An XDG directory must be absolute; otherwise the default below the home directory holds.
    if (xdg != nullptr && xdg[0] == '/') {
        paths.push_back(std::string(xdg) + "/tagbench/" + kFileName);
    } else if (home != nullptr && home[0] == '/') {
        paths.push_back(std::string(home) + "/.config/tagbench/" + kFileName);
    }
    paths.push_back(std::string(TAGBENCH_SYSCONFDIR) + "/" + kFileName);
    return paths;
}

std::string DeviceProfiles::FindFile() {
    const std::vector<std::string> paths = SearchPaths();
    for (const std::string& path : paths) {
        std::error_code error;
        if (std::filesystem::is_regular_file(path, error)) {
            return path;
        }
    }
    return paths.front();
}

bool DeviceProfiles::Load(const std::string& path) {
    m_strPath = path;
    m_strError.clear();
    // Read here rather than by SimpleIni, which takes whatever size a directory or device reports
    // (or fails to report) for the size of its buffer.
    std::vector<uint8_t> bytes;
    if (!RegularFile::ReadAll(path, bytes, m_strError, kMaxFileSize)) {
        m_names.clear();
        m_ini.Reset();
        return false;
    }
    if (!LoadText({reinterpret_cast<const char*>(bytes.data()), bytes.size()})) {
        m_strError = "cannot parse the file";
        return false;
    }
    return true;
}

bool DeviceProfiles::LoadText(std::string_view text) {
    m_names.clear();
    m_ini.Reset();
    m_ini.SetUnicode(false);  // bytes as they stand
    // Every copy of a repeated key is kept, so that Value can take the first.
    m_ini.SetMultiKey(true);
    m_ini.SetMultiLine(false);
    m_ini.SetQuotes(true);
    const std::string kept = WithoutBrokenHeaders(text);
    if (m_ini.LoadData(kept.data(), kept.size()) < 0) {
        m_ini.Reset();
        return false;
    }
    CSimpleIniA::TNamesDepend sections;
    m_ini.GetAllSections(sections);
    sections.sort(CSimpleIniA::Entry::LoadOrder());
    for (const auto& section : sections) {
        // Keys above the first section header belong to no profile.
        if (section.pItem[0] != '\0' && strcasecmp(section.pItem, kLedgerSection) != 0) {
            m_names.push_back(section.pItem);
        }
    }
    return true;
}

const char* DeviceProfiles::Value(const std::string& name, const char* key) const {
    // A section given twice is one section to SimpleIni, named where it first appears: a key of
    // its second copy that the first lacks is taken as if the first had it.
    CSimpleIniA::TNamesDepend values;
    if (!m_ini.GetAllValues(name.c_str(), key, values)) {
        return nullptr;
    }
    const CSimpleIniA::Entry* first = &values.front();
    for (const CSimpleIniA::Entry& value : values) {
        if (value.nOrder < first->nOrder) {
            first = &value;
        }
    }
    return first->pItem;
}

std::string DeviceProfiles::Text(const std::string& name, const char* key, const char* defaultValue) const {
    const char* value = Value(name, key);
    std::string text = value != nullptr ? value : defaultValue;
    if (text.size() > kMaxValueLength) {
        text.resize(kMaxValueLength);
    }
    return text;
}

int DeviceProfiles::Integer(const std::string& name, const char* key, int defaultValue) const {
    const char* value = Value(name, key);
    if (value == nullptr) {
        return defaultValue;
    }
    // Leading blanks, an optional sign, then the decimal digits up to the first other character;
    // no digit at all reads as 0.
    const char* p = value;
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    long long number = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)) && number <= INT32_MAX; ++p) {
        number = number * 10 + (*p - '0');
    }
    if (number > INT32_MAX) {
        number = INT32_MAX;
    }
    return static_cast<int>(negative ? -number : number);
}

LedgerSettings DeviceProfiles::GetLedger() const {
    LedgerSettings settings{Text(kLedgerSection, "Location", ""), Text(kLedgerSection, "Station", "")};
    // A relative file belongs beside the profile file, wherever the program was started from.
    const std::filesystem::path location(settings.strLocation);
    if (!settings.strLocation.empty() && location.is_relative() &&
        !Ledger::IsServerLocation(settings.strLocation) && !m_strPath.empty()) {
        settings.strLocation = (std::filesystem::path(m_strPath).parent_path() / location).string();
    }
    return settings;
}

DeviceProfile DeviceProfiles::Get(const std::string& name) const {
    DeviceProfile profile;
    if (name.empty()) {
        return profile;  // no profile to apply: the serial layout
    }
    profile.bUsb = Integer(name, "IsUSBDevice", 0) != 0;
    if (!profile.bUsb) {
        return profile;
    }
    profile.strVendorId = Text(name, "VendorID", "0403");
    profile.strProductId = Text(name, "ProductID", "6001");
    profile.strManufacturer = Text(name, "Manufacturer", "QV Cardterminal");
    profile.strManufacturerId = Text(name, "ManufacturerID", "QV");
    profile.strDescription = Text(name, "Description", "Device description");
    profile.nMaxPower = Integer(name, "MaxPower", 40);
    profile.nPnP = Integer(name, "PlugNPlay", 1);
    profile.nSelfPowered = Integer(name, "SelfPowered", 1);
    profile.nRemoteWakeup = Integer(name, "RemoteWakeup", 1);
    return profile;
}
