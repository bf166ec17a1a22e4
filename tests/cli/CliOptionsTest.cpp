#include "CliOptions.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

struct Parsed {
    bool ok;
    std::string error;
    CliOptions options;
};

Parsed Parse(std::vector<std::string> args) {
    Parsed parsed;
    parsed.ok = parsed.options.Parse(args, parsed.error);
    return parsed;
}

TEST(CliOptions, CommandsKeepTheirOrderAndConvertTheirArguments) {
    const Parsed p = Parse({"--port",
                            "/dev/ttyUSB0",
                            "--baud=115200",
                            "--hitag2",
                            "loadkey",
                            "b",
                            "2",
                            "15",
                            "5e2f9a40c713",
                            "authenticate",
                            "A",
                            "1",
                            "3",
                            "7",
                            "write",
                            "4",
                            "00112233445566778899AABBCCDDEEFF",
                            "makevalue",
                            "4",
                            "5",
                            "64",
                            "setport",
                            "red",
                            "beep",
                            "select",
                            "1A2B3C4D",
                            "select",
                            "info"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.GetConnection(), CliOptions::ConnectionPort);
    EXPECT_EQ(p.options.GetPortName(), "/dev/ttyUSB0");
    EXPECT_EQ(p.options.GetBaudRate(), 115200u);
    EXPECT_TRUE(p.options.IsHitag2());
    const auto& c = p.options.GetCommands();
    ASSERT_EQ(c.size(), 8u);
    EXPECT_EQ(c[0].verb, CliCommand::LoadKey);
    EXPECT_EQ(c[0].mode, 0x06);  // key B, set 2
    EXPECT_EQ(c[0].keyNumber, 15);
    EXPECT_EQ(c[0].data, (ByteBuffer{0x5E, 0x2F, 0x9A, 0x40, 0xC7, 0x13}));
    EXPECT_EQ(c[1].mode, 0x01);
    EXPECT_EQ(c[1].keyNumber, 3);
    EXPECT_EQ(c[1].block, 7);
    EXPECT_EQ(c[2].data.GetCount(), 16u);
    EXPECT_EQ(c[3].address, 5);
    EXPECT_EQ(c[3].value, 0x64u);
    EXPECT_EQ(c[4].mask, 0x14);
    EXPECT_TRUE(c[5].hasSerial);
    EXPECT_EQ(c[5].serial, 0x1A2B3C4Du);
    // Without a serial, select takes what the last anticollision found.
    EXPECT_FALSE(c[6].hasSerial);
    EXPECT_EQ(c[7].verb, CliCommand::Info);
}

TEST(CliOptions, AnEmptyValueRepeatsTheLastValue) {
    const Parsed p = Parse({"--simulate", "increment", "4", "1F", "decrement", "4", ""});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.GetCommands()[1].value, 0x1Fu);
}

TEST(CliOptions, BadArgumentsGetTheDialogMessages) {
    const struct {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"--simulate", "read", "256"}, "read 256: Please enter a whole number from 0 to 255."},
        {{"--simulate", "loadkey", "A", "3", "16", "5E2F9A40C713"},
         "loadkey 16: Please enter a number from 0 to 15."},
        {{"--simulate", "loadkey", "A", "3", "1", "5E2F9A40C713"},
         "loadkey 3: Please enter a number from 0 to 2."},
        {{"--simulate", "loadkey", "C", "0", "1", "5E2F9A40C713"}, "loadkey C: The key type is A or B."},
        {{"--simulate", "loadkey", "A", "0", "1", "5E2F9A40C71"},
         "loadkey 5E2F9A40C71: Please enter a valid Mifare key of 12 hexadecimal digits."},
        {{"--simulate", "loadkey", "A", "0", "1", "5E2F9A40C71G"},
         "loadkey 5E2F9A40C71G: Please enter a valid Mifare key of 12 hexadecimal digits."},
        {{"--simulate", "write", "4", std::string(31, 'A')},
         "write " + std::string(31, 'A') + ": Please enter a string of 32 characters."},
        {{"--simulate", "write", "4", std::string(31, 'A') + "G"},
         "write " + std::string(31, 'A') + "G: Please enter a hexadecimal value."},
        // The address is checked before the value, as the dialog does.
        {{"--simulate", "makevalue", "4", "X", "Y"}, "makevalue X: Please enter a hexadecimal value."},
        {{"--simulate", "increment", "4", "123456789"},
         "increment 123456789: Please enter no more than 8 characters."},
        {{"--simulate", "select", "xyz"}, "select xyz: Please enter a hexadecimal value."},
        {{"--simulate", "read"}, "read expects BLOCK"},
        {{"--simulate", "frobnicate"}, "unknown command frobnicate"},
        {{"--simulate", "--baud", "fast"}, "--baud needs a positive whole number, not fast"},
        {{"--simulate=bluetooth"}, "--simulate takes usb or com, not bluetooth"},
        {{"--usb", "--port", "/dev/ttyS0"},
         "choose one connection: --port NAME, --usb[=SERIAL] or --simulate (several are for produce)"},
        {{"request"}, "choose a connection: --port NAME, --usb or --simulate"},
        {{"--port"}, "--port needs a value"},
        {{"--port", "/dev/ttyS0", "--port", "/dev/ttyS1"},
         "--port given twice (/dev/ttyS0 and /dev/ttyS1): choose one port"},
        {{"--port", "/dev/ttyS0", "--baud", "12345"},
         "--baud 12345: a serial port cannot be set to that rate (e.g. 9600, 19200, 38400, 57600, 115200)"},
        // A flag is there or not, in every part of the command line.
        {{"--simulate", "--quiet=0"}, "--quiet takes no value"},
        {{"--simulate", "contread", "--pc-beep=1"}, "contread --pc-beep takes no value"},
        {{"--simulate", "produce", "--profile", "P", "--no-serial=0"}, "produce --no-serial takes no value"},
        {{"--simulate", "produce", "--profile", "P", "--no-settings=no"},
         "produce --no-settings takes no value"},
        // USB settings the bridge can never take are refused before the loader is woken.
        {{"--simulate", "usb-settings", "--usb-serial", "1", "--product-id", "ZZZZ"},
         "usb-settings: The product ID ZZZZ is not 6001 or FB18 to FB1F."},
        {{"--simulate", "usb-settings", "--usb-serial", "1", "--manufacturer", std::string(41, 'M')},
         "usb-settings: The manufacturer has more than 40 characters."},
        {{"--simulate", "usb-settings", "--usb-serial", "1", "--manufacturer-id", "Q"},
         "usb-settings: The manufacturer ID Q is not 2 characters."},
        {{"--simulate", "usb-settings", "--usb-serial", "1", "--manufacturer", std::string(30, 'M'),
          "--description", std::string(11, 'D')},
         "usb-settings: The manufacturer, the description and the serial number have 49 characters together; "
         "the bridge's EEPROM holds 48."},
        {{"--port", "/dev/ttyS0", "usb-settings", "--usb-serial", "1"},
         "usb-settings programs the USB bridge's EEPROM: it needs --usb or --simulate"},
    };
    for (const auto& test : cases) {
        const Parsed p = Parse(test.args);
        EXPECT_FALSE(p.ok) << test.error;
        EXPECT_EQ(p.error, test.error);
    }
}

TEST(CliOptions, UsbNamesTheFirstBridgeOrOneBySerialNumber_SeveralReadersOnlyForProduce) {
    using Readers = std::vector<CliReader>;
    const std::vector<std::string> produce = {"produce", "--profile", "P"};
    const auto with = [](std::vector<std::string> args, const std::vector<std::string>& more) {
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const struct {
        std::vector<std::string> args;
        std::string error;  // empty: accepted
        Readers readers;
    } cases[] = {
        {{"--usb", "request"}, "", {{true, ""}}},
        {{"--usb", "--usb", "request"}, "", {{true, ""}}},
        {{"--usb=QV000042", "request"}, "", {{true, "QV000042"}}},
        // The next argument is a command, never a serial number.
        {{"--usb", "QV000042"}, "unknown command QV000042", {}},
        {{"--usb="}, "--usb= needs the bridge's serial number (--usb alone: the first bridge)", {}},
        {{"--usb=QV000042", "--usb=QV000043", "request"},
         "choose one connection: --port NAME, --usb[=SERIAL] or --simulate (several are for produce)",
         {}},
        {{"--usb=QV000042", "--simulate"},
         "choose one connection: --port NAME, --usb[=SERIAL] or --simulate",
         {}},
        {with({"--usb=QV000042", "--port", "/dev/ttyS0", "--usb=QV000043"}, produce),
         "",
         {{true, "QV000042"}, {false, "/dev/ttyS0"}, {true, "QV000043"}}},
        {with({"--usb=QV000042", "--usb=QV000042"}, produce), "--usb=QV000042 given twice", {}},
        {with({"--usb", "--usb=QV000042"}, produce),
         "--usb (the first bridge) and --usb=SERIAL together: name each bridge by its serial number",
         {}},
        // One bridge and one serial port: the first bridge is not among those named.
        {with({"--usb", "--port", "/dev/ttyS0"}, produce), "", {{true, ""}, {false, "/dev/ttyS0"}}},
        {with(with({"--usb=QV000042", "--usb=QV000043"}, produce), {"--no-ledger", "--usb-serial", "1"}),
         "produce on several ports needs a ledger: --no-ledger would give readers the same numbers",
         {}},
        // A bridge beside a serial port: the port's rate is still checked.
        {with({"--usb=QV000042", "--port", "/dev/ttyS0", "--baud", "12345"}, produce),
         "--baud 12345: a serial port cannot be set to that rate (e.g. 9600, 19200, 38400, 57600, 115200)",
         {}},
        {with({"--usb=QV000042", "--baud", "12345"}, produce), "", {{true, "QV000042"}}},
    };
    for (const auto& test : cases) {
        const Parsed p = Parse(test.args);
        std::string line;
        for (const std::string& arg : test.args) {
            line += arg + " ";
        }
        EXPECT_EQ(p.ok, test.error.empty()) << line << p.error;
        EXPECT_EQ(p.error, test.error) << line;
        if (p.ok) {
            EXPECT_EQ(p.options.GetReaders(), test.readers) << line;
            EXPECT_EQ(p.options.GetConnection(),
                      test.readers[0].bUsb ? CliOptions::ConnectionUsb : CliOptions::ConnectionPort)
                << line;
        }
    }
}

TEST(CliOptions, VersionNeedsNoConnectionAndNamesTheProduct) {
    const Parsed p = Parse({"--version"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_TRUE(p.options.WantsVersion());
    EXPECT_TRUE(
        std::regex_match(CliOptions::VersionText(), std::regex("Tagbench [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << CliOptions::VersionText();
    EXPECT_FALSE(Parse({"--version=2"}).ok);
}

TEST(CliOptions, HelpListsEveryCommand) {
    const Parsed p = Parse({"--help"});
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.options.WantsHelp());
    for (const char* name : {"startup",         "reset",
                             "request",         "anticollision",
                             "select [SERIAL]", "loadkey",
                             "authenticate",    "read BLOCK",
                             "write",           "halt",
                             "makevalue",       "readvalue",
                             "increment",       "decrement-transfer",
                             "restore",         "transfer",
                             "setport",         "info",
                             "--quiet",         "--hitag2",
                             "--simulate=com",  "--baud",
                             "--usb=SERIAL"}) {
        EXPECT_NE(CliOptions::Usage().find(name), std::string::npos) << name;
    }
}

}  // namespace
