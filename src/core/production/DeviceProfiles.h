#pragma once

// Profile files are bytes as they stand: no Unicode conversion. The packaged header holds the
// templates' bodies only for SI_IMPLEMENTATION, which DeviceProfiles.cpp defines; every use of
// the ini object stays in that file.
#ifndef SI_NO_CONVERSION
#define SI_NO_CONVERSION
#endif
#include <SimpleIni.h>

#include <cstdint>
#include <string>
#include <string_view>
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

// Where the production ledger of a line lives, as its profile file names it.
struct LedgerSettings {
    std::string strLocation;  // a SQLite file or a server's connection string; empty: the default
    std::string strStation;   // empty: the host name
};

// The device profile file: one section per profile, read with the private-profile rules (sections
// in file order, case-insensitive names, one pair of surrounding quotes removed, the default for a
// missing key, decimal integers from their leading digits, text values cut to 511 characters, the
// first of a section or key given twice). The file is read, never written.
class DeviceProfiles {
public:
    static constexpr const char* kFileName = "MifareProduction.ini";
    // The section that names the line's ledger (Location=, Station=); it is no profile.
    static constexpr const char* kLedgerSection = "Ledger";
    static constexpr size_t kMaxValueLength = 511;
    // Far more than any list of readers needs; a larger file is refused rather than parsed.
    static constexpr uint64_t kMaxFileSize = 1u << 20;

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

    // Reads the file whole. A missing or unreadable file, a directory, a FIFO, a device or a file
    // larger than kMaxFileSize leaves no profiles and returns false; GetError says why.
    bool Load(const std::string& path);
    // Takes the profiles from a file's content as it stands.
    bool LoadText(std::string_view text);
    const std::string& GetPath() const { return m_strPath; }
    // Why the last Load failed ("Is a directory", "not a regular file", ...); empty after success.
    const std::string& GetError() const { return m_strError; }
    // The section names in file order, the ledger's section left out.
    const std::vector<std::string>& GetNames() const { return m_names; }
    // The profile of that name, with the defaults for missing keys; an unknown name (an empty list
    // included) is a serial reader.
    DeviceProfile Get(const std::string& name) const;
    LedgerSettings GetLedger() const;

private:
    // The key's first value in the section, null when the key is missing.
    const char* Value(const std::string& name, const char* key) const;
    std::string Text(const std::string& name, const char* key, const char* defaultValue) const;
    int Integer(const std::string& name, const char* key, int defaultValue) const;

    std::string m_strPath;
    std::string m_strError;
    std::vector<std::string> m_names;
    CSimpleIniA m_ini;  // SimpleIni's case-insensitive kind
};
