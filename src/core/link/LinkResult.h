#pragma once

#include <cstdint>
#include <string>

// The 32-bit result of every port, link and reader-command operation; 0 is success.
//
// Families:
//   errno values      a failed system call on a serial port (ENOENT: no such port, EBUSY: another
//                     program holds it, EACCES: no permission, EIO: the device went away, ...).
//                     These take the place of the Windows error codes, so the numbers differ:
//                       ERROR_FILE_NOT_FOUND (2)     no such port        -> ENOENT (2)
//                       ERROR_ACCESS_DENIED (5)      port in use         -> EBUSY (16)
//                       (no permission on the device node)               -> EACCES (13)
//                       ERROR_INVALID_HANDLE (6)     port not open       -> EBADF (9)
//                       ERROR_INVALID_PARAMETER (87) line setting refused -> EINVAL (22)
//                       ERROR_GEN_FAILURE (31), ERROR_OPERATION_ABORTED (995)
//                                                    device went away    -> EIO (5)
//                       (not a serial device)                            -> ENOTTY (25)
//   0x2000003D..40    link and library conditions below
//   0x20000097..CC    a command's parameters could not be assembled (one code per command)
//   0x200000C8 + s    the reader answered with status s (LR_READER_BASE)
//   0x30000000 + s    a D2XX call returned status s (LR_D2XX_BASE)
using LinkResult = uint32_t;

inline constexpr LinkResult LR_OK = 0;
inline constexpr LinkResult LR_NO_ANSWER = 0x2000003D;
inline constexpr LinkResult LR_NO_D2XX = 0x2000003E;
// The D2XX provider lacks the function this operation needs (a vendor library without that name).
inline constexpr LinkResult LR_D2XX_NO_FUNCTION = 0x2000003F;
inline constexpr LinkResult LR_NOT_USB = 0x20000040;
inline constexpr LinkResult LR_READER_BASE = 0x200000C8;
inline constexpr LinkResult LR_D2XX_BASE = 0x30000000;

// One line for a user: what the code means ("no answer from the reader", "Device or resource busy").
std::string LinkResultText(LinkResult result);
// What the user can do about a port that could not be opened for want of permission (empty for
// other results); it follows LinkResultText.
std::string LinkResultHint(LinkResult result);
// The line itself failed (the device went away, the bridge was unplugged, the port is closed),
// as opposed to a reader that answered wrongly or not at all: retrying on it only repeats the error.
bool IsLineLost(LinkResult result);
// The status of a line that went away, for the trace and the window: "Connection to /tmp/P lost:
// Input/output error". where names the port as the user knows it.
std::string LineLostText(const std::string& where, LinkResult result);
