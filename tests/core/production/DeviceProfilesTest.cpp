#include "production/DeviceProfiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name) {
        const char* old = std::getenv(name);
        m_hadValue = old != nullptr;
        m_old = m_hadValue ? old : "";
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (m_hadValue) {
            setenv(m_name, m_old.c_str(), 1);
        } else {
            unsetenv(m_name);
        }
    }

private:
    const char* m_name;
    bool m_hadValue;
    std::string m_old;
};

class DeviceProfilesTest : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(dir); }
    std::string Write(const std::string& text, const std::string& name = DeviceProfiles::kFileName) {
        fs::create_directories(dir);
        const std::string path = (dir / name).string();
        std::ofstream(path) << text;
        return path;
    }

    fs::path dir = fs::temp_directory_path() / ("tagbench-profiles-" + std::to_string(::getpid()));
    DeviceProfiles profiles;
};

TEST_F(DeviceProfilesTest, AProfileWithOnlyIsUsbDeviceTakesEveryDefault) {
    ASSERT_TRUE(profiles.Load(Write("[Plain]\nisusbdevice = 1\n")));
    const DeviceProfile p = profiles.Get("plain");  // names are case-insensitive too
    EXPECT_TRUE(p.bUsb);
    EXPECT_EQ(p.strVendorId, "0403");
    EXPECT_EQ(p.strProductId, "6001");
    EXPECT_EQ(p.strManufacturer, "QV Cardterminal");
    EXPECT_EQ(p.strManufacturerId, "QV");
    EXPECT_EQ(p.strDescription, "Device description");
    EXPECT_EQ(p.nMaxPower, 40);
    EXPECT_EQ(p.nPnP + p.nSelfPowered + p.nRemoteWakeup, 3);
}

TEST_F(DeviceProfilesTest, ValuesFollowThePrivateProfileRules) {
    const std::string longText(600, 'x');
    ASSERT_TRUE(profiles.Load(
        Write("[R]\nIsUSBDevice=2\nMANUFACTURER=\"Quoted, with comma\"\nDescription=" + longText +
              "\nMaxPower=120mA\nPlugNPlay=yes\nSelfPowered=-1\n"
              "[Serial]\nVendorID=1234\n")));
    const DeviceProfile p = profiles.Get("R");
    EXPECT_TRUE(p.bUsb) << "any non-zero number is a USB reader";
    EXPECT_EQ(p.strManufacturer, "Quoted, with comma");
    EXPECT_EQ(p.strDescription, longText.substr(0, 511));
    EXPECT_EQ(p.nMaxPower, 120) << "leading digits";
    EXPECT_EQ(p.nPnP, 0) << "no digits";
    EXPECT_EQ(p.nSelfPowered, -1);
    EXPECT_EQ(p.nRemoteWakeup, 1) << "missing key";
    const DeviceProfile serial = profiles.Get("Serial");
    EXPECT_FALSE(serial.bUsb) << "no IsUSBDevice";
    EXPECT_EQ(serial.strVendorId, "") << "a serial profile's USB values are not read";
}

TEST_F(DeviceProfilesTest, SectionsKeepTheirFileOrder) {
    // A header without its ']' is no header, not even together with the lines after it (also right
    // after a byte order mark).
    ASSERT_TRUE(profiles.Load(
        Write("\xEF\xBB\xBF[Broken\nStray=1\n[Zeta]\n[alpha]\nIsUSBDevice=1\n[Broken\nkey=1\n[\n[Mid]\n")));
    EXPECT_EQ(profiles.GetNames(), (std::vector<std::string>{"Zeta", "alpha", "Mid"}));
}

TEST_F(DeviceProfilesTest, ARepeatedSectionOrKeyKeepsItsFirstValue) {
    ASSERT_TRUE(
        profiles.Load(Write("[A]\nIsUSBDevice=1\nVendorID=1111\nvendorid=2222\n"
                            "[B]\n"
                            "[a]\nIsUSBDevice=0\nVendorID=3333\nDescription=only here\n")));
    EXPECT_EQ(profiles.GetNames(), (std::vector<std::string>{"A", "B"}));
    const DeviceProfile p = profiles.Get("A");
    EXPECT_TRUE(p.bUsb);
    EXPECT_EQ(p.strVendorId, "1111");
    EXPECT_EQ(p.strDescription, "only here") << "a key only the second copy has";
}

// The line's ledger is named in the profile file, and its section is no reader's profile.
TEST_F(DeviceProfilesTest, TheLedgerSectionNamesTheLinesLedgerAndIsNoProfile) {
    struct Case {
        const char* location;
        std::string expected;
    } cases[] = {
        {"", ""},
        {"line.sqlite", (dir / "line.sqlite").string()},
        {"/srv/line.sqlite", "/srv/line.sqlite"},
        {"postgresql://db.line/tagbench", "postgresql://db.line/tagbench"},
        {"host=db.line dbname=tagbench", "host=db.line dbname=tagbench"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(profiles.Load(Write(std::string("[Desk]\nIsUSBDevice=1\n[ledger]\nLocation=") +
                                        c.location + "\nStation=bench 2\n[Terminal]\n")));
        EXPECT_EQ(profiles.GetNames(), (std::vector<std::string>{"Desk", "Terminal"}));
        EXPECT_EQ(profiles.GetLedger().strLocation, c.expected);
        EXPECT_EQ(profiles.GetLedger().strStation, "bench 2");
    }
}

TEST_F(DeviceProfilesTest, WhatIsNoRegularFileFailsAtOnceWithAReasonAndNoProfiles) {
    const std::string fifo = (dir / "fifo.ini").string();
    fs::create_directories(dir);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string large = Write(std::string(DeviceProfiles::kMaxFileSize + 1, ';'), "large.ini");
    for (const std::string& path :
         {(dir / "none.ini").string(), dir.string(), fifo, std::string("/dev/zero"), large}) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(profiles.Load(Write("[Kept]\nIsUSBDevice=1\n")));
        EXPECT_FALSE(profiles.Load(path));
        EXPECT_FALSE(profiles.GetError().empty());
        EXPECT_TRUE(profiles.GetNames().empty());
        EXPECT_FALSE(profiles.Get("Kept").bUsb) << "nothing of the earlier file is left";
    }
}

TEST_F(DeviceProfilesTest, TheFileIsLookedForBesideTheProgramThenInTheUserAndSystemFolders) {
    ScopedEnv home("HOME", "/home/operator");
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "relative");
        EXPECT_EQ(DeviceProfiles::SearchPaths()[1], "/home/operator/.config/tagbench/MifareProduction.ini");
    }
    ScopedEnv xdg("XDG_CONFIG_HOME", dir.string());
    std::vector<std::string> paths = DeviceProfiles::SearchPaths();
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths[0], DeviceProfiles::ProgramDirectory() + "/MifareProduction.ini");
    EXPECT_EQ(paths[1], (dir / "tagbench" / "MifareProduction.ini").string());
    EXPECT_TRUE(paths[2].ends_with("/tagbench/MifareProduction.ini"));

    // None there: the page names the program's directory (unless the package is installed on this
    // machine); a user's copy is found before the system's.
    EXPECT_EQ(DeviceProfiles::FindFile(), fs::exists(paths[2]) ? paths[2] : paths[0]);
    fs::create_directories(dir / "tagbench");
    Write("[User]\n", "tagbench/MifareProduction.ini");
    EXPECT_EQ(DeviceProfiles::FindFile(), paths[1]);
}

}  // namespace
