#include "StringTable.h"

#include <unordered_map>

namespace {

// id -> UTF-8 text. Keep the ids in ascending order.
const std::unordered_map<uint32_t, const char*>& Table() {
    static const std::unordered_map<uint32_t, const char*> table = {
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
        {1138, "<OK, Waiting for card...>"},
    };
    return table;
}

}  // namespace

std::string LoadString(uint32_t id) {
    const auto it = Table().find(id);
    return it == Table().end() ? std::string() : std::string(it->second);
}
