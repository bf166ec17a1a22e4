#include "StringTable.h"

#include <unordered_map>

namespace {

// id -> UTF-8 text. Keep the ids in ascending order.
const std::unordered_map<uint32_t, const char*>& Table() {
    static const std::unordered_map<uint32_t, const char*> table = {
        // Main sheet, settings and commands pages.
        {101, "The output window is disabled during continuous read."},
        {102, "Co&nnect"},
        {103, "Disco&nnect"},
        {104, "%s connected at %u baud."},
        {106, "Not connected. Go to 'settings' tab to connect."},
        {107, "Legend:        >> = from PC to reader        << = from reader to PC        <...> = status message"},
        {108, "E&xit"},
        {109, "Mi&nimize"},
        {110, "Tagbench"},
        {111, "A&bout..."},
        {112, "Connected via USB."},
        // Reader statuses: 128 + status.
        {128, "<OK>"},
        {129, "<No card in operating area>"},
        {130, "<Wrong CRC received from the card>"},
        {131, "<Value overflow>"},
        {132, "<No authentication possible>"},
        {133, "<Wrong parity received from the card>"},
        {134, "<Unknown problem with the card>"},
        {136, "<Wrong serial number read during anticollission>"},
        {138, "<Card is not authenticated>"},
        {139, "<Wrong number of bits received from the card>"},
        {140, "<Wrong number of bytes received from the card>"},
        {142, "<Any problem while executing the transfer function>"},
        {143, "<Any problem while executing the write function>"},
        {144, "<Any problem while executing the increment function>"},
        {145, "<Any problem while executing the decrement function>"},
        {146, "<Any problem while executing the read function>"},
        {147, "<OK; Value = 0x%08X; Address = 0x%02X>"},
        {148, "<Block does not appear to be a valid value block>"},
        {149, "<Serial communications error>"},
        {160, "Please enter a hexadecimal value."},
        {161, "Please enter a valid Mifare key of 12 hexadecimal digits."},
        {162, "Please enter a string of %d characters."},
        // Messages of the commands and settings pages.
        {163, "Cannot perform this action while in continuous read mode."},
        {165, "Cannot perform this action while in wait for card mode."},
        {170, "Connected to %s at %u baud."},
        {171, "Could not open %s: %s."},
        {172, "Could not set up %s: %s."},
        {173, " Add yourself to the 'dialout' group and log in again."},
        {174, "Please enter a positive integer."},
        {175, "No serial port to connect to."},
        {176, "The simulated reader could not be started: %s"},
        {177, "the USB reader"},
        {179,
         " If no other program uses it, install Tagbench's udev rule (70-tagbench.rules, in the package)"
         " for access without root, then plug the reader in again."},
        {190, "Could not save %s: %s."},
        // Tooltips, by control id.
        {1000, "Click to send a Start Of Text character, to see if the reader is alive."},
        {1001, "Click to send a Reset command to the reader."},
        {1002, "Click to send a Request command to check if there is a card on the reader."},
        {1003, "Click to send an Anticillision command to the reader."},
        {1004, "Click to send a command to select a specific card in the field of the reader."},
        {1005, "Click to load a Mifare® key into the reader's RAM memory."},
        {1006, "Click to authenticate to a specified block on a Mifare® card."},
        {1007, "Click to read a specified block from a Mifare® card."},
        {1008, "Click to write hexadecimal data to a specified block on a Mifare® card."},
        {1009, "Click to send a Halt command to the selected Mifare® card."},
        {1010, "Click to write a Mifare® value block to a specified block on a Mifare® card."},
        {1011, "Click to read the value of a specified Mifare® value block."},
        {1012, "Click to increment the value of a specified Mifare® value block."},
        {1013, "Click to decrement the value of a specified Mifare® value block."},
        {1014, "Click to decrement and save the value of a specified block."},
        {1015, "Click to restore the value of a specified Mifare® value block."},
        {1016, "Click to save a changed value back into a specified value block."},
        {1017, "Click to set or reset the reader's LEDs and buzzer."},
        {1018, "Click to get the reader's version information."},
        {1031, "Select to flash the green LED on the reader at the end of each cont. read cycle."},
        {1032, "Select to flash the red LED on the reader at the end of each cont. read cycle."},
        {1035, "Select to connect to the reader via the USB bus. (USB reader only.)"},
        {1036, "Select to connect to the reader via a COM port. (For RS232 reader only.)"},
        {1037, "Select the COM port to which the reader is connected. (For RS232 reader only.)"},
        {1038, "Select the baud rate for the connection."},
        {1050, "Click to clear the output window."},
        {1051, "Click here to connect or disconnect the Mifare\u00ae reader."},
        {1060, "Click to start or stop the continuous read mode."},
        {1066, "Select to log continuous read statistics to a file."},
        {1072, "Select to let the PC speaker beep at the start of each continous read cycle."},
        {1073, "Select to let the reader's buzzer beep at the end of each continuous read cycle."},
        {1081, "USB serial number (6 digits)."},
        {1082, "Description or name of the device."},
        {1083, "The USB Vendor ID."},
        {1084, "A string which contains the name of the manufacturer."},
        {1085, "Max. power the USB device gets from the USB bus. (0 - 500 mA)."},
        {1086, "The USB Product ID."},
        {1087, "USB manufacturer ID (2 characters)."},
        {1090, "USB device supports Plug 'n Play on Windows systems."},
        {1091, "The USB device does not get its power from the USB bus."},
        {1092, "The USB device supports remote wakeup."},
        {1093, "Upload a firmware file to the device."},
        {1095, "The Mifare serial number (8 digits)."},
        {1097, "Program the selected settings, including serial number(s), into the device."},
        {1098, "Select to let the serial number(s) auto increase after each program action."},
        {1099, "Select a device profile here."},
        {1101, "Program a range of devices, until you press Cancel."},
        {1114, "Click to read the current USB settings from the device."},
        {1130, "Max. retries before canceling continuous read if no response."},
        {1132, "Do not cancel continuous read if no response."},
        {1133, "If this box is checked, the USB settings will be programmed."},
        {1134, "If this box is checked, the serial number will be programmed."},
        {1138, "<OK, Waiting for card...>"},
        {1151, "Choose the file that records every programming run: date and time, profile, serial numbers and result."},
    };
    return table;
}

}  // namespace

std::string LoadString(uint32_t id) {
    const auto it = Table().find(id);
    return it == Table().end() ? std::string() : std::string(it->second);
}
