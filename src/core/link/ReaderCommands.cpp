// The reader's command set on top of the link procedure.
#include <cstdio>

#include "StringTable.h"
#include "link/ReaderLink.h"

namespace {

constexpr uint32_t kStartupListenMs = 2000;
constexpr uint32_t kStartupReadSize = 64;

}  // namespace

std::string StatusText(uint8_t status) {
    return LoadString(IDS_STATUS_BASE + status);
}

LinkResult StatusToResult(uint8_t status) {
    return status == 0 ? LR_OK : LR_READER_BASE + status;
}

LinkResult ReaderLink::Exchange(uint8_t command, const ByteBuffer& parameters, bool reports, uint8_t& status,
                                ByteBuffer& answer) {
    status = 0;
    const LinkResult result = Transact(command, parameters, status, answer);
    m_lastAnswer = answer;
    if (result != LR_OK && reports) {
        WriteStatusLine(StatusText(status));
    }
    return result;
}

void ReaderLink::WriteStatusLine(const std::string& text) {
    if (m_pPort != nullptr) {
        m_pPort->WriteStatusLine(text);
    }
}

LinkResult ReaderLink::Finish(uint8_t status) {
    WriteStatusLine(StatusText(status));
    return StatusToResult(status);
}

LinkResult ReaderLink::RunCommand(uint8_t command, const ByteBuffer& parameters, bool reports) {
    uint8_t status = 0;
    ByteBuffer answer;
    const LinkResult result = Exchange(command, parameters, reports, status, answer);
    return result != LR_OK ? result : Finish(status);
}

LinkResult ReaderLink::Request(uint8_t mode, uint32_t& cardType) {
    ByteBuffer parameters;
    if (!parameters.Append(mode)) {
        return LR_BUILD_REQUEST;
    }
    uint8_t status = 0;
    ByteBuffer answer;
    const LinkResult result = Exchange(kCmdRequest, parameters, false, status, answer);
    if (result != LR_OK) {
        return result;
    }
    if (status == 0) {
        // A one-byte answer gives a card type with high byte 0.
        uint8_t low = 0;
        uint8_t high = 0;
        answer.GetAt(0, low);
        answer.GetAt(1, high);
        cardType = low + 256u * high;
    }
    return Finish(status);
}

LinkResult ReaderLink::Reset(uint16_t value) {
    ByteBuffer parameters;
    if (!parameters.Append(static_cast<uint8_t>(value >> 8)) ||
        !parameters.Append(static_cast<uint8_t>(value))) {
        return LR_BUILD_RESET;
    }
    return RunCommand(kCmdReset, parameters, false);
}

LinkResult ReaderLink::Anticollision(uint32_t& serialNumber) {
    ByteBuffer parameters;
    for (int i = 0; i < 5; ++i) {
        if (!parameters.Append(0)) {
            return LR_BUILD_ANTICOLLISION;
        }
    }
    uint8_t status = 0;
    ByteBuffer answer;
    const LinkResult result = Exchange(kCmdAnticollision, parameters, false, status, answer);
    if (result != LR_OK) {
        return result;
    }
    if (status == 0) {
        answer.GetU32(0, serialNumber);  // left as it was when the answer is shorter
    }
    return Finish(status);
}

LinkResult ReaderLink::Select(uint32_t serialNumber, uint8_t& selected) {
    ByteBuffer parameters;
    if (!parameters.AppendU32(serialNumber)) {
        return LR_BUILD_SELECT;
    }
    uint8_t status = 0;
    ByteBuffer answer;
    const LinkResult result = Exchange(kCmdSelect, parameters, false, status, answer);
    if (result != LR_OK) {
        return result;
    }
    if (status == 0) {
        selected = 0;
        answer.GetAt(0, selected);
    }
    return Finish(status);
}

LinkResult ReaderLink::LoadKey(uint8_t mode, uint8_t keyNumber, ByteBuffer keyA, ByteBuffer keyB) {
    ByteBuffer parameters;
    if (!parameters.Append(mode) || !parameters.Append(keyNumber) || !parameters.AppendBuffer(keyA) ||
        !parameters.AppendBuffer(keyB)) {
        return LR_BUILD_LOADKEY;
    }
    return RunCommand(kCmdLoadKey, parameters, true);
}

LinkResult ReaderLink::Authenticate(uint8_t mode, uint8_t keyNumber, uint8_t block) {
    ByteBuffer parameters;
    if (!parameters.Append(mode) || !parameters.Append(keyNumber) || !parameters.Append(block)) {
        return LR_NO_AUTHENTICATION;
    }
    uint8_t status = 0;
    ByteBuffer answer;
    const LinkResult result = Exchange(kCmdAuthenticate, parameters, false, status, answer);
    if (result != LR_OK) {
        return result;
    }
    const LinkResult mapped = Finish(status);
    // No card means nothing to authenticate with: callers test for the one code.
    return status == 1 ? LR_NO_AUTHENTICATION : mapped;
}

LinkResult ReaderLink::ReadBlock(uint8_t block, ByteBuffer& data) {
    ByteBuffer parameters;
    if (!parameters.Append(block)) {
        return LR_BUILD_READ;
    }
    uint8_t status = 0;
    const LinkResult result = Exchange(kCmdReadBlock, parameters, true, status, data);
    return result != LR_OK ? result : Finish(status);
}

LinkResult ReaderLink::WriteBlock(uint8_t block, ByteBuffer data) {
    ByteBuffer parameters;
    if (!parameters.Append(block) || !parameters.AppendBuffer(data)) {
        return LR_BUILD_WRITE;
    }
    return RunCommand(kCmdWriteBlock, parameters, true);
}

LinkResult ReaderLink::Halt() {
    return RunCommand(kCmdHalt, ByteBuffer{}, true);
}

namespace {

bool BuildValueChange(uint8_t block, uint32_t value, ByteBuffer& parameters) {
    return parameters.Append(block) && parameters.AppendU32(value);
}

}  // namespace

LinkResult ReaderLink::Increment(uint8_t block, uint32_t value) {
    ByteBuffer parameters;
    if (!BuildValueChange(block, value, parameters)) {
        return LR_BUILD_INCREMENT;
    }
    return RunCommand(kCmdIncrement, parameters, false);
}

LinkResult ReaderLink::Decrement(uint8_t block, uint32_t value) {
    ByteBuffer parameters;
    if (!BuildValueChange(block, value, parameters)) {
        return LR_BUILD_DECREMENT;
    }
    return RunCommand(kCmdDecrement, parameters, false);
}

LinkResult ReaderLink::DecrementTransfer(uint8_t block, uint32_t value) {
    ByteBuffer parameters;
    if (!BuildValueChange(block, value, parameters)) {
        return LR_BUILD_DECREMENT_TRANSFER;
    }
    return RunCommand(kCmdDecrementTransfer, parameters, false);
}

LinkResult ReaderLink::Restore(uint8_t block) {
    ByteBuffer parameters;
    if (!parameters.Append(block)) {
        return LR_BUILD_RESTORE;
    }
    return RunCommand(kCmdRestore, parameters, false);
}

LinkResult ReaderLink::Transfer(uint8_t block) {
    ByteBuffer parameters;
    if (!parameters.Append(block)) {
        return LR_BUILD_TRANSFER;
    }
    return RunCommand(kCmdTransfer, parameters, false);
}

LinkResult ReaderLink::SetPort(uint8_t mask) {
    ByteBuffer parameters;
    if (!parameters.Append(mask)) {
        return LR_BUILD_SETPORT;
    }
    return RunCommand(kCmdSetPort, parameters, true);
}

LinkResult ReaderLink::GetInfo(ByteBuffer& answer) {
    uint8_t status = 0;
    const LinkResult result = Exchange(kCmdGetInfo, ByteBuffer{}, true, status, answer);
    if (result != LR_OK) {
        // The failure's line is out; the result follows the status the link set.
        return StatusToResult(status);
    }
    if (status != 0) {
        return Finish(status);
    }
    // The version text ends in a terminator that is not shown.
    std::string text = answer.ToText();
    if (!text.empty()) {
        text.pop_back();
    }
    WriteStatusLine("<" + text + ">");
    return LR_OK;
}

LinkResult ReaderLink::WaitForCard() {
    uint8_t status = 0;
    ByteBuffer answer;
    const LinkResult result = Exchange(kCmdWaitForCard, ByteBuffer{}, true, status, answer);
    if (result != LR_OK) {
        return result;
    }
    if (status != 0) {
        return Finish(status);
    }
    WriteStatusLine(LoadString(IDS_WAITING_FOR_CARD));
    return LR_OK;
}

LinkResult ReaderLink::MakeValueBlock(uint8_t block, uint8_t address, uint32_t value) {
    // Value, its inverse, value again, then the address byte twice with its inverse: the card's
    // value-block layout, so that increment and decrement accept the block.
    ByteBuffer image;
    image.AppendU32(value);
    image.AppendU32(~value);
    image.AppendU32(value);
    const uint8_t inverse = static_cast<uint8_t>(~address);
    image.Append(address);
    image.Append(inverse);
    image.Append(address);
    image.Append(inverse);
    return WriteBlock(block, image);
}

LinkResult ReaderLink::ReadValueBlock(uint8_t block, ByteBuffer& data) {
    ByteBuffer parameters;
    if (!parameters.Append(block)) {
        return LR_BUILD_READ_VALUE;
    }
    uint8_t status = 0;
    const LinkResult result = Exchange(kCmdReadBlock, parameters, true, status, data);
    if (result != LR_OK) {
        return result;
    }
    if (status != 0) {
        return Finish(status);
    }
    uint32_t p = 0;
    uint32_t q = 0;
    uint32_t r = 0;
    uint8_t a[4] = {};
    // A short answer cannot hold a value block.
    bool valid = data.GetU32(0, p) && data.GetU32(4, q) && data.GetU32(8, r) && data.GetAt(12, a[0]) &&
                 data.GetAt(13, a[1]) && data.GetAt(14, a[2]) && data.GetAt(15, a[3]);
    valid = valid && a[0] == static_cast<uint8_t>(~a[1]) && p == ~q && a[1] == a[3] && a[0] == a[2] && p == r;
    if (!valid) {
        WriteStatusLine(LoadString(IDS_NO_VALUE_BLOCK));
        return LR_OK;
    }
    char line[96];
    std::snprintf(line, sizeof line, LoadString(IDS_VALUE_BLOCK).c_str(), p, a[0]);
    WriteStatusLine(line);
    return LR_OK;
}

LinkResult ReaderLink::Startup() {
    if (m_pPort == nullptr) {
        return LR_OK;
    }
    SendAndWaitDle(ByteBuffer{STX}, 0, false);
    // Listen for a while so that whatever the reader sends back shows in the trace.
    const uint32_t start = m_clock.GetTickCount();
    while (m_clock.GetTickCount() - start < kStartupListenMs) {
        ByteBuffer discarded;
        uint32_t count = 0;
        if (m_pPort->Read(discarded, kStartupReadSize, count) != LR_OK) {
            break;
        }
    }
    return LR_OK;
}
