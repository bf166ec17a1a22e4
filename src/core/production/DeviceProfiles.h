#pragma once

// Profile files are bytes as they stand: no Unicode conversion. The packaged header holds the
// templates' bodies only for SI_IMPLEMENTATION, which DeviceProfiles.cpp defines; every use of
// the ini object stays in that file.
#ifndef SI_NO_CONVERSION
#define SI_NO_CONVERSION
#endif
#include <SimpleIni.h>

#include <string>
#include <vector>

// One kind of reader the production page programs: whether it hangs on USB and, if so, the
// settings its bridge gets. The values are taken as the file gives them; the page's limits and the
// EEPROM record's setters check them later.
struct DeviceProfile {
    bool bUsb = false;
    std::string strVendorId;
    std::string strProductId;
    std::string strManufacturer;
    std::string strManufacturerId;
    std::string strDescription;
    int nMaxPower = 0;
    int nPnP = 0;
    int nSelfPowered = 0;
    int nRemoteWakeup = 0;
};

// The device profile file: one section per profile, read with the private-profile rules (sections
// in file order, case-insensitive names, one pair of surrounding quotes removed, the default for a
// missing key, decimal integers from their leading digits, text values cut to 511 characters).
// The file is read, never written.
class DeviceProfiles {
public:
    static constexpr const char* kFileName = "MifareProduction.ini";
    static constexpr size_t kMaxValueLength = 511;

    DeviceProfiles();
    ~DeviceProfiles();
    DeviceProfiles(const DeviceProfiles&) = delete;
    DeviceProfiles& operator=(const DeviceProfiles&) = delete;

    // Where the file is looked for, in order: the program's own directory, the user's
    // configuration directory ($XDG_CONFIG_HOME/tagbench, by default ~/.config/tagbench), and the
    // installed package's system configuration directory.
    static std::vector<std::string> SearchPaths();
    // The first of SearchPaths() that exists; the first of them when none does, so that the page
    // can say where the file was expected.
    static std::string FindFile();
    // The directory of the running program.
    static std::string ProgramDirectory();

    // Reads the file; a missing or unreadable file leaves no profiles (and returns false).
    bool Load(const std::string& path);
    const std::string& GetPath() const { return m_strPath; }
    // The section names in file order.
    const std::vector<std::string>& GetNames() const { return m_names; }
    // The profile of that name, with the defaults for missing keys; an unknown name (an empty list
    // included) is a serial reader.
    DeviceProfile Get(const std::string& name) const;

private:
    std::string Text(const std::string& name, const char* key, const char* defaultValue) const;
    int Integer(const std::string& name, const char* key, int defaultValue) const;

    std::string m_strPath;
    std::vector<std::string> m_names;
    CSimpleIniA m_ini;  // SimpleIni's case-insensitive kind
};
