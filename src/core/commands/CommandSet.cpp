#include "commands/CommandSet.h"

#include <cerrno>

#include "commands/HexText.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"

namespace {

ByteBuffer HexBytes(const std::string& text) {
    ByteBuffer bytes;
    HexToBytes(text, bytes);
    return bytes;
}

ByteBuffer ZeroBytes(uint32_t count) {
    ByteBuffer bytes;
    for (uint32_t i = 0; i < count; ++i) {
        bytes.Append(0);
    }
    return bytes;
}

}  // namespace

LinkResult RunCommand(Command command, CommandParameters& p, ReaderPort& port, ReaderLink& link) {
    port.Purge();
    uint32_t cardType = 0;
    uint8_t selected = 0;
    ByteBuffer answer;
    switch (command) {
        case Command::Startup:
            return link.Startup();
        case Command::Reset:
            return link.Reset(0);
        case Command::Request:
            return link.Request(p.bHitag2 ? 1 : 0, cardType);
        case Command::Anticollision:
            return link.Anticollision(p.dwCardSerial);
        case Command::Select:
            return link.Select(p.dwCardSerial, selected);
        case Command::LoadKey:
            return link.LoadKey(p.KeyMode(), p.nKeyNumber, ZeroBytes(6), HexBytes(p.strKey));
        case Command::Authenticate:
            return link.Authenticate(p.KeyMode(), p.nKeyNumber, p.nBlock);
        case Command::Read:
            return link.ReadBlock(p.nBlock, answer);
        case Command::Write:
            return link.WriteBlock(p.nBlock, HexBytes(p.strBlockData));
        case Command::Halt:
            return link.Halt();
        case Command::MakeValueBlock:
            return link.MakeValueBlock(p.nBlock, p.nValueAddress, p.dwValue);
        case Command::ReadValueBlock:
            return link.ReadValueBlock(p.nBlock, answer);
        case Command::Increment:
            return link.Increment(p.nBlock, p.dwValue);
        case Command::Decrement:
            return link.Decrement(p.nBlock, p.dwValue);
        case Command::DecrementTransfer:
            return link.DecrementTransfer(p.nBlock, p.dwValue);
        case Command::Restore:
            return link.Restore(p.nBlock);
        case Command::Transfer:
            return link.Transfer(p.nBlock);
        case Command::SetPort:
            return link.SetPort(p.byPortMask);
        case Command::Info:
            return link.GetInfo(answer);
    }
    return EINVAL;  // not a command
}

LinkResult LoadDefaultKey(ReaderPort& port, ReaderLink& link, OutputWindow* window) {
    port.SetOutputWindow(nullptr, false, TraceModeHex);
    // The connection probe or another page may have left polling reads set.
    port.SetReadMode(ReadModeNormal);
    ByteBuffer key;
    for (uint8_t i = 0; i < 6; ++i) {
        key.Append(static_cast<uint8_t>(kDefaultKeyStart + i));
    }
    const LinkResult result = link.LoadKey(0, 0, ZeroBytes(6), key);
    port.SetOutputWindow(window, false, TraceModeHex);
    return result;
}
