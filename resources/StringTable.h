#pragma once

#include <cstdint>
#include <string>

// The program's user-visible texts by number (status texts, messages, tooltips: a control's
// tooltip is the string whose id equals the control's id). A missing id gives an empty text.
std::string LoadString(uint32_t id);

// The ids by name, each defined here once. A control's tooltip goes by the control's id instead.
inline constexpr uint32_t IDS_MODE_RUNNING = 101;
inline constexpr uint32_t IDS_CONNECT = 102;
inline constexpr uint32_t IDS_DISCONNECT = 103;
inline constexpr uint32_t IDS_COM_CONNECTED = 104;
inline constexpr uint32_t IDS_NOT_CONNECTED = 106;
inline constexpr uint32_t IDS_LEGEND = 107;
inline constexpr uint32_t IDS_EXIT = 108;
inline constexpr uint32_t IDS_MINIMIZE = 109;
inline constexpr uint32_t IDS_PRODUCT_NAME = 110;
inline constexpr uint32_t IDS_ABOUT = 111;
inline constexpr uint32_t IDS_USB_CONNECTED = 112;
// The reader's status s is shown as IDS_STATUS_BASE + s.
inline constexpr uint32_t IDS_STATUS_BASE = 128;
inline constexpr uint32_t IDS_VALUE_BLOCK = 147;
inline constexpr uint32_t IDS_NO_VALUE_BLOCK = 148;
inline constexpr uint32_t IDS_HEX_VALUE = 160;
inline constexpr uint32_t IDS_MIFARE_KEY = 161;
inline constexpr uint32_t IDS_HEX_LENGTH = 162;
inline constexpr uint32_t IDS_LEAVE_CONT_READ = 163;
inline constexpr uint32_t IDS_LEAVE_WAIT_CARD = 165;
inline constexpr uint32_t IDS_CONNECTED_TO = 170;
inline constexpr uint32_t IDS_CANNOT_OPEN = 171;
inline constexpr uint32_t IDS_CANNOT_SET_UP = 172;
// Shown after the reason when a serial port could not be opened for want of permission.
inline constexpr uint32_t IDS_DIALOUT_HINT = 173;
inline constexpr uint32_t IDS_POSITIVE_INTEGER = 174;
inline constexpr uint32_t IDS_NO_SERIAL_PORT = 175;
inline constexpr uint32_t IDS_SIMULATOR_FAILED = 176;
inline constexpr uint32_t IDS_THE_USB_READER = 177;
// Shown after the reason when the USB bridge could not be opened: in use, or no access to it.
inline constexpr uint32_t IDS_USB_ACCESS_HINT = 179;
inline constexpr uint32_t IDS_SAVE_FAILED = 190;
inline constexpr uint32_t IDS_WAITING_FOR_CARD = 1138;
