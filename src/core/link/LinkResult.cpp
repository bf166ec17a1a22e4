#include "link/LinkResult.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "StringTable.h"
#include "link/D2xx.h"
#include "link/FtdiEepromImage.h"

namespace {

const char* D2xxStatusText(uint32_t status) {
    static const char* const texts[] = {
        "ok",
        "invalid handle",
        "device not found",
        "device not opened",
        "I/O error",
        "insufficient resources",
        "invalid parameter",
        "invalid baud rate",
        "device not opened for erase",
        "device not opened for write",
        "failed to write device",
        "EEPROM read failed",
        "EEPROM write failed",
        "EEPROM erase failed",
        "EEPROM not present",
        "EEPROM not programmed",
        "invalid arguments",
        "not supported",
        "other error",
    };
    return status < sizeof texts / sizeof texts[0] ? texts[status] : "unknown status";
}

}  // namespace

std::string LinkResultText(LinkResult result) {
    char text[160];
    if (result == LR_OK) {
        return "success";
    }
    if (result == LR_NO_ANSWER) {
        return "no answer from the reader";
    }
    if (result == LR_NO_D2XX) {
        return "no D2XX library for USB readers";
    }
    if (result == LR_D2XX_NO_FUNCTION) {
        return "the D2XX library lacks a function this operation needs";
    }
    if (result == LR_NOT_USB) {
        return "the operation needs a USB reader";
    }
    if (result == LR_D2XX_BASE + kFtEepromCorrupt) {
        return "the bridge's EEPROM content is corrupt";
    }
    if (result >= LR_D2XX_BASE) {
        const uint32_t status = result - LR_D2XX_BASE;
        std::snprintf(text, sizeof text, "USB bridge: %s (D2XX status %u)", D2xxStatusText(status), status);
        return text;
    }
    if (result > LR_READER_BASE && result <= LR_READER_BASE + 0xFF) {
        const uint32_t status = result - LR_READER_BASE;
        std::snprintf(text, sizeof text, "the reader answered with status %u", status);
        const std::string line = LoadString(128 + status);
        return line.empty() ? std::string(text) : std::string(text) + " " + line;
    }
    if (result >= 0x20000097 && result <= LR_READER_BASE) {
        return "the command's parameters could not be assembled";
    }
    if (result == ENOTTY) {
        return "not a serial port";  // a file, a pipe or another device opened as a port
    }
    if (result < 0x20000000) {
        return std::strerror(static_cast<int>(result));  // a system error code (errno)
    }
    std::snprintf(text, sizeof text, "error 0x%08X", result);
    return text;
}

std::string LinkResultHint(LinkResult result) {
    if (result == EACCES) {
        return LoadString(IDS_DIALOUT_HINT);  // serial devices belong to the dialout group
    }
    if (result == LR_D2XX_BASE + FT_DEVICE_NOT_OPENED) {
        return LoadString(IDS_USB_ACCESS_HINT);
    }
    return {};
}

bool IsLineLost(LinkResult result) {
    switch (result) {
        case EIO:
        case ENXIO:
        case ENODEV:
        case EBADF:
        case EPIPE:
        case LR_D2XX_BASE + FT_INVALID_HANDLE:
        case LR_D2XX_BASE + FT_DEVICE_NOT_FOUND:
        case LR_D2XX_BASE + FT_DEVICE_NOT_OPENED:
        case LR_D2XX_BASE + FT_IO_ERROR:
            return true;
        default:
            return false;
    }
}

std::string LineLostText(const std::string& where, LinkResult result) {
    return "Connection to " + where + " lost: " + LinkResultText(result);
}
