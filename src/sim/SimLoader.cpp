#include "sim/SimLoader.h"

#include <algorithm>

#include "programming/Crc16.h"

SimLoader::SimLoader(Hooks hooks) : m_hooks(std::move(hooks)) {}

bool SimLoader::IsWakeUp(uint8_t byte) {
    return byte == '~' || byte == 'x' || byte == 'a' || byte == 'y' || byte == 'b';
}

void SimLoader::Enter() {
    m_nState = StateCommand;
    m_hooks.cancelTimer();
    Queue('>');
}

void SimLoader::Leave() {
    m_nState = StateCommand;
    m_hooks.leave();
}

void SimLoader::OnTimer() {
    if (m_nState == StateDownload) {
        // The image is complete; the reader starts the new firmware.
        Leave();
    } else if (m_nState != StateCommand) {
        if (m_nState != StateText) {
            Queue(kNak);
        }
        m_nState = StateCommand;
    }
}

void SimLoader::Byte(uint8_t byte) {
    switch (m_nState) {
        case StateCommand:
            if ((byte == '@' || byte == '#' || byte == 'D') && Silent(byte)) {
                return;
            }
            if (byte == '@' || byte == '#') {
                const uint32_t bank = byte == '@' ? 2 : 3;
                if (Refused(byte)) {
                    Queue('3', m_settings.eraseMs);
                } else {
                    ++m_eraseCount[bank];
                    m_bankErased[bank] = true;
                    Queue('2', m_settings.eraseMs);
                }
            } else if (byte == 'D') {
                if (Refused(byte) || !m_bankErased[2] || !m_bankErased[3]) {
                    Queue(kNak);
                } else {
                    m_bankErased[2] = m_bankErased[3] = false;
                    m_firmware.clear();
                    m_nState = StateDownload;
                    m_hooks.setTimer(kQuietMs);
                    Queue('5');
                }
            } else if (byte == 'Q') {
                Leave();
            } else if (byte == 'S' || byte == 'G') {
                m_buffer.assign(1, byte);
                m_nState = StateText;
                m_hooks.setTimer(kQuietMs);
            } else if (byte >= 0x01 && byte <= 0x07) {
                m_byBinaryCode = byte;
                m_buffer.clear();
                m_nState = StateBinaryLength;
                m_hooks.setTimer(kQuietMs);
            } else if (IsWakeUp(byte)) {
                Queue('>');  // awake already: prompt again, so that a PC that missed the prompt goes on
            }
            return;
        case StateText:
            if (byte == 0) {
                m_hooks.cancelTimer();
                m_nState = StateCommand;
                RunText(std::string(m_buffer.begin(), m_buffer.end()));
            } else if (m_buffer.size() >= 128) {
                m_nState = StateCommand;  // no command is that long
                m_hooks.cancelTimer();
            } else {
                m_buffer.push_back(byte);
                m_hooks.setTimer(kQuietMs);
            }
            return;
        case StateBinaryLength:
            m_byBinaryLength = byte;
            if (byte == 0) {
                m_hooks.cancelTimer();
                m_nState = StateCommand;
                RunBinary();
            } else {
                m_nState = StateBinaryData;
                m_hooks.setTimer(kQuietMs);
            }
            return;
        case StateBinaryData:
            m_buffer.push_back(byte);
            if (m_buffer.size() == m_byBinaryLength) {
                m_hooks.cancelTimer();
                m_nState = StateCommand;
                RunBinary();
            } else {
                m_hooks.setTimer(kQuietMs);
            }
            return;
        case StateDownload:
            m_firmware.push_back(byte);
            m_hooks.setTimer(kQuietMs);
            return;
    }
}

void SimLoader::RunText(const std::string& text) {
    if (Silent(static_cast<uint8_t>(text[0]))) {
        return;
    }
    if (Refused(static_cast<uint8_t>(text[0]))) {
        Queue(kNak);
        return;
    }
    if (text.starts_with("SSERIAL=")) {
        // The serial number is written once: a reader that has one keeps it, and still answers 4.
        if (m_strSerial.empty()) {
            m_strSerial = text.substr(8);
        }
        Queue('4');
    } else if (text == "GSERIAL") {
        Queue(static_cast<uint8_t>(kSerialAnswerLead));
        for (char c : m_strSerial) {
            Queue(static_cast<uint8_t>(c));
        }
    } else {
        Queue(kNak);
    }
}

void SimLoader::RunBinary() {
    const std::vector<uint8_t> data = std::move(m_buffer);
    m_buffer.clear();
    if (Silent(m_byBinaryCode)) {
        return;
    }
    if (Refused(m_byBinaryCode)) {
        Queue(kNak);
        return;
    }
    const size_t n = data.size();
    switch (m_byBinaryCode) {
        case 0x05:
            if (n != 0) {
                break;
            }
            for (size_t i = 0; i < m_settings.version.size(); ++i) {
                Queue(static_cast<uint8_t>(m_settings.version[i]),
                      i == m_settings.versionSplit ? m_settings.versionGapMs : 0);
            }
            Queue(kAck, m_settings.version.size() == m_settings.versionSplit ? m_settings.versionGapMs : 0);
            return;
        case 0x03:
            if (n != 0) {
                break;
            }
            m_wCrc = Crc16::kShiftInInit;
            m_nBlockIndex = 0;
            Queue(kAck);
            return;
        case 0x01:
        case 0x02: {
            if (n != kBlockSize) {
                break;
            }
            m_wCrc = Crc16::ShiftIn(m_wCrc, data);
            std::array<uint8_t, kBlockSize> block;
            std::copy(data.begin(), data.end(), block.begin());
            const uint32_t index = m_nBlockIndex++;
            if (m_byBinaryCode == 0x01) {
                if (m_flash.size() <= index) {
                    m_flash.resize(index + 1);
                }
                m_flash[index] = block;
                Queue(kAck, m_settings.blockMs);
            } else {
                Queue(index < m_flash.size() && m_flash[index] == block ? kAck : kNak, m_settings.blockMs);
            }
            return;
        }
        case 0x04:
            if (n != 2) {
                break;
            }
            Queue(!m_faults.wrongCrc && Crc16::Finish(m_wCrc) == ((data[0] << 8) | data[1]) ? kAck : kNak);
            return;
        case 0x07:
            if (n != 0) {
                break;
            }
            Queue(kAck);
            Leave();
            return;
        default:
            break;
    }
    Queue(kNak);
}
