#pragma once

#include <cstdint>
#include <string>

// The USB bridge's EEPROM: the settings it enumerates with, texts owned. The bridge reads and
// programs it through the reader it leads to, which keeps it (and, in a series, hands each fresh
// reader's bridge the settings the series started with).
struct SimEeprom {
    uint16_t vendorId = 0x0403;
    uint16_t productId = 0x6001;
    std::string manufacturer = "Tagbench";
    std::string manufacturerId = "TB";
    std::string description = "Simulated MIFARE reader";
    std::string serialNumber = "TB000001";
    uint16_t maxPower = 90;
    uint16_t pnp = 1;
    uint16_t selfPowered = 0;
    uint16_t remoteWakeup = 1;
    uint8_t rev4 = 1;
    uint8_t isoIn = 0;
    uint8_t isoOut = 0;
    uint8_t pullDownEnable = 0;
    uint8_t serNumEnable = 1;
    uint8_t usbVersionEnable = 0;
    uint16_t usbVersion = 0x0110;
};
