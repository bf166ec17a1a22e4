#define SI_IMPLEMENTATION
#include "production/DeviceProfiles.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>

#ifndef TAGBENCH_SYSCONFDIR
#define TAGBENCH_SYSCONFDIR "/etc/tagbench"
#endif

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
    m_names.clear();
    m_ini.Reset();
    m_ini.SetUnicode(false);  // bytes as they stand
    m_ini.SetMultiKey(false);
    m_ini.SetMultiLine(false);
    m_ini.SetQuotes(true);
    if (m_ini.LoadFile(path.c_str()) < 0) {
        m_ini.Reset();
        return false;
    }
    CSimpleIniA::TNamesDepend sections;
    m_ini.GetAllSections(sections);
    sections.sort(CSimpleIniA::Entry::LoadOrder());
    for (const auto& section : sections) {
        // Keys above the first section header belong to no profile.
        if (section.pItem[0] != '\0') {
            m_names.push_back(section.pItem);
        }
    }
    return true;
}

std::string DeviceProfiles::Text(const std::string& name, const char* key, const char* defaultValue) const {
    const char* value = m_ini.GetValue(name.c_str(), key, nullptr);
    std::string text = value != nullptr ? value : defaultValue;
    if (text.size() > kMaxValueLength) {
        text.resize(kMaxValueLength);
    }
    return text;
}

int DeviceProfiles::Integer(const std::string& name, const char* key, int defaultValue) const {
    const char* value = m_ini.GetValue(name.c_str(), key, nullptr);
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
