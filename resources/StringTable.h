#pragma once

#include <cstdint>
#include <string>

// The program's user-visible texts by number (status texts, messages, tooltips: a control's
// tooltip is the string whose id equals the control's id). A missing id gives an empty text.
std::string LoadString(uint32_t id);

// Shown after the reason when a serial port could not be opened for want of permission.
inline constexpr uint32_t IDS_DIALOUT_HINT = 173;
// Shown after the reason when the USB bridge could not be opened: in use, or no access to it.
inline constexpr uint32_t IDS_USB_ACCESS_HINT = 179;
