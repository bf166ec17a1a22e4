#include "StringTable.h"

#include <unordered_map>

namespace {

// id -> UTF-8 text. Keep the ids in ascending order.
const std::unordered_map<uint32_t, const char*>& Table() {
    static const std::unordered_map<uint32_t, const char*> table = {
        // Commands page.
        {101, "The output window is disabled during continuous read."},
        {106, "Not connected. Go to 'settings' tab to connect."},
        {107, "Legend:        >> = from PC to reader        << = from reader to PC        <...> = status message"},
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
        {163, "Cannot perform this action while in continuous read mode."},
        {165, "Cannot perform this action while in wait for card mode."},
        // Tooltips of the commands page, by control id.
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
        {1050, "Click to clear the output window."},
        {1060, "Click to start or stop the continuous read mode."},
        {1138, "<OK, Waiting for card...>"},
    };
    return table;
}

}  // namespace

std::string LoadString(uint32_t id) {
    const auto it = Table().find(id);
    return it == Table().end() ? std::string() : std::string(it->second);
}
