#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <iterator>
#include <vector>

#include "link/D2xx.h"
#include "link/FtdiD2xx.h"
#include "link/VendorD2xx.h"

namespace {

TEST(VendorD2xx, LibraryThatIsMissingOrNoD2xxLibrary_LoadsNothing) {
    EXPECT_EQ(VendorD2xx::Load("/nonexistent/libftd2xx.so"), nullptr);
#ifdef __linux__
    // Loads, but exports none of the 41 names.
    EXPECT_EQ(VendorD2xx::Load("libm.so.6"), nullptr);
#endif
    EXPECT_EQ(VendorD2xx::Load(nullptr), nullptr);
}

TEST(VendorD2xx, FoundNamesFillTheirEntries_MissingNamesStayEmpty) {
    auto vendor = VendorD2xx::Load(TAGBENCH_FAKE_VENDOR_D2XX);
    ASSERT_NE(vendor, nullptr);
    EXPECT_EQ(vendor->Name(), "vendor library");
    const D2xxTable& d2xx = vendor->Table();
    ASSERT_TRUE(d2xx.FT_Open && d2xx.FT_Close && d2xx.FT_Write);
    EXPECT_FALSE(d2xx.FT_Read);
    EXPECT_FALSE(d2xx.FT_EE_Read);
    EXPECT_FALSE(d2xx.FT_SetUSBParameters);

    FT_HANDLE handle = nullptr;
    EXPECT_EQ(d2xx.FT_Open(1, &handle), FT_DEVICE_NOT_FOUND);
    ASSERT_EQ(d2xx.FT_Open(0, &handle), FT_OK);
    ASSERT_NE(handle, nullptr);
    // The library sums the bytes it was given: 1 + 2 of the first two.
    uint8_t bytes[] = {1, 2, 3};
    uint32_t written = 0;
    EXPECT_EQ(d2xx.FT_Write(handle, bytes, 2, &written), FT_OK);
    EXPECT_EQ(written, 3u);
    int other = 0;
    EXPECT_EQ(d2xx.FT_Close(&other), FT_INVALID_HANDLE);
    EXPECT_EQ(d2xx.FT_Close(handle), FT_OK);
}

TEST(FtdiD2xx, KnownBridges) {
    const struct {
        uint16_t vendorId;
        uint16_t productId;
        bool known;
    } cases[] = {
        {0x0403, 0x6001, true},  {0x0403, 0xFB18, true},  {0x0403, 0xFB1F, true}, {0x0403, 0xFB17, false},
        {0x0403, 0xFB20, false}, {0x0403, 0x6010, true},  {0x0403, 0x6015, true}, {0x0403, 0x6016, false},
        {0x0404, 0x6001, false}, {0x0000, 0x0000, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FtdiD2xx::IsKnownBridge(c.vendorId, c.productId), c.known)
            << std::hex << c.vendorId << ":" << c.productId;
    }
}

TEST(FtdiD2xx, EveryEntryAnswers) {
    auto ftdi = CreateFtdiD2xx();
    ASSERT_NE(ftdi, nullptr);
    EXPECT_EQ(ftdi->Name(), "libftdi1");
    const D2xxTable& t = ftdi->Table();
    const bool filled[] = {
        bool(t.FT_Open),
        bool(t.FT_OpenEx),
        bool(t.FT_ListDevices),
        bool(t.FT_Close),
        bool(t.FT_Read),
        bool(t.FT_Write),
        bool(t.FT_IoCtl),
        bool(t.FT_SetBaudRate),
        bool(t.FT_SetDivisor),
        bool(t.FT_SetDataCharacteristics),
        bool(t.FT_SetFlowControl),
        bool(t.FT_ResetDevice),
        bool(t.FT_SetDtr),
        bool(t.FT_ClrDtr),
        bool(t.FT_SetRts),
        bool(t.FT_ClrRts),
        bool(t.FT_GetModemStatus),
        bool(t.FT_SetChars),
        bool(t.FT_Purge),
        bool(t.FT_SetTimeouts),
        bool(t.FT_GetQueueStatus),
        bool(t.FT_SetEventNotification),
        bool(t.FT_GetStatus),
        bool(t.FT_SetBreakOn),
        bool(t.FT_SetBreakOff),
        bool(t.FT_SetWaitMask),
        bool(t.FT_WaitOnMask),
        bool(t.FT_GetEventStatus),
        bool(t.FT_ReadEE),
        bool(t.FT_WriteEE),
        bool(t.FT_EraseEE),
        bool(t.FT_EE_Program),
        bool(t.FT_EE_Read),
        bool(t.FT_EE_UASize),
        bool(t.FT_EE_UAWrite),
        bool(t.FT_EE_UARead),
        bool(t.FT_SetLatencyTimer),
        bool(t.FT_GetLatencyTimer),
        bool(t.FT_SetBitMode),
        bool(t.FT_GetBitMode),
        bool(t.FT_SetUSBParameters),
    };
    static_assert(std::size(filled) == std::size(kD2xxFunctionNames));
    for (size_t i = 0; i < std::size(filled); ++i) {
        EXPECT_TRUE(filled[i]) << kD2xxFunctionNames[i];
    }

    // Entries the program never calls say so instead of pretending.
    FT_HANDLE handle = nullptr;
    uint8_t mode = 0;
    uint32_t size = 0;
    EXPECT_EQ(t.FT_OpenEx(nullptr, 0, &handle), FT_NOT_SUPPORTED);
    EXPECT_EQ(t.FT_ResetDevice(handle), FT_NOT_SUPPORTED);
    EXPECT_EQ(t.FT_GetBitMode(handle, &mode), FT_NOT_SUPPORTED);
    EXPECT_EQ(t.FT_EE_UASize(handle, &size), FT_NOT_SUPPORTED);
}

TEST(FtdiD2xx, OpenWithoutBridge_DeviceNotFound) {
    auto ftdi = CreateFtdiD2xx();
    ASSERT_NE(ftdi, nullptr);
    const D2xxTable& t = ftdi->Table();
    FT_HANDLE handle = nullptr;
    const FT_STATUS status = t.FT_Open(0, &handle);
    if (status == FT_OK || status == FT_DEVICE_NOT_OPENED) {
        if (handle != nullptr) {
            t.FT_Close(handle);
        }
        GTEST_SKIP() << "an FTDI bridge is attached";
    }
    EXPECT_EQ(status, FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(t.FT_Open(0, nullptr), FT_INVALID_PARAMETER);
}

TEST(FtdiD2xx, CallsOnAHandleItDidNotOpen_InvalidHandle) {
    auto ftdi = CreateFtdiD2xx();
    ASSERT_NE(ftdi, nullptr);
    const D2xxTable& t = ftdi->Table();
    uint8_t bytes[4] = {};
    uint32_t count = 0;
    char manufacturer[kEeManufacturerSize] = {};
    char manufacturerId[kEeManufacturerIdSize] = {};
    char description[kEeDescriptionSize] = {};
    char serialNumber[kEeSerialNumberSize] = {};
    FT_PROGRAM_DATA record{};
    record.Manufacturer = manufacturer;
    record.ManufacturerId = manufacturerId;
    record.Description = description;
    record.SerialNumber = serialNumber;

    const std::vector<std::function<FT_STATUS(FT_HANDLE)>> calls = {
        [&](FT_HANDLE h) { return t.FT_Close(h); },
        [&](FT_HANDLE h) { return t.FT_Read(h, bytes, 4, &count); },
        [&](FT_HANDLE h) { return t.FT_Write(h, bytes, 4, &count); },
        [&](FT_HANDLE h) { return t.FT_SetBaudRate(h, 9600); },
        [&](FT_HANDLE h) {
            return t.FT_SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
        },
        [&](FT_HANDLE h) { return t.FT_SetFlowControl(h, FT_FLOW_NONE, 0, 0); },
        [&](FT_HANDLE h) { return t.FT_SetDtr(h); },
        [&](FT_HANDLE h) { return t.FT_SetRts(h); },
        [&](FT_HANDLE h) { return t.FT_SetChars(h, 0x03, 1, 0x15, 1); },
        [&](FT_HANDLE h) { return t.FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX); },
        [&](FT_HANDLE h) { return t.FT_SetTimeouts(h, 100, 100); },
        [&](FT_HANDLE h) { return t.FT_GetQueueStatus(h, &count); },
        [&](FT_HANDLE h) { return t.FT_EE_Read(h, &record); },
        [&](FT_HANDLE h) { return t.FT_EE_Program(h, &record); },
    };
    int stranger = 0;
    for (FT_HANDLE handle : {static_cast<FT_HANDLE>(nullptr), static_cast<FT_HANDLE>(&stranger)}) {
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i](handle), FT_INVALID_HANDLE) << "call " << i << " handle " << handle;
        }
    }
}

}  // namespace
