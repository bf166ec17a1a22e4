#include "programming/LoaderProtocol.h"

#include <cstdio>

uint8_t LoaderProtocol::WakeUpChar(bool blockFile, bool usb, int destination) {
    if (!blockFile) {
        return '~';
    }
    if (destination == 1) {
        return usb ? 'b' : 'a';
    }
    return usb ? 'y' : 'x';
}

std::string LoaderProtocol::SerialText(uint32_t serialNumber) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%08u", serialNumber);
    return text;
}

ByteBuffer LoaderProtocol::StoreSerialCommand(const std::string& serialText) {
    ByteBuffer command;
    command.AppendString("SSERIAL=");
    command.AppendString(serialText);
    command.Append(0);
    return command;
}

ByteBuffer LoaderProtocol::ReadSerialCommand() {
    ByteBuffer command;
    command.AppendString("GSERIAL");
    command.Append(0);
    return command;
}

ByteBuffer LoaderProtocol::BinaryHeader(uint8_t code, uint8_t length) {
    return ByteBuffer{code, length};
}
