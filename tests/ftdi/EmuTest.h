#pragma once

#include <gtest/gtest.h>

#include "usbemu/UsbEmu.h"

// A test against the emulated bridge, freshly plugged in.
class EmuTest : public ::testing::Test {
protected:
    void SetUp() override {
        emu = UsbEmu::Find();
        ASSERT_NE(emu, nullptr)
            << "the system's libusb is loaded: set LD_LIBRARY_PATH to the emulator's folder";
        emu->Reset();
    }

    UsbEmu* emu = nullptr;
};
