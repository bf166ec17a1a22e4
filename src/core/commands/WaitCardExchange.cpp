#include "commands/WaitCardExchange.h"

#include <cerrno>

#include "link/ReaderLink.h"

WaitCardExchange::WaitCardExchange(ReaderLink& link, Clock& clock) : m_link(link), m_clock(clock) {}

void WaitCardExchange::Start() {
    m_bRunning = true;
    m_bResetOnStop = true;
    m_bAccepted = false;
    m_result = LR_OK;
    m_nWaitCardStep = WaitCardArm;
}

StepOutcome WaitCardExchange::Advance() {
    m_lastReport = Step();
    return {m_lastReport.bEnded || !m_bRunning, m_lastReport.dwNextDelayMs};
}

bool WaitCardExchange::RequestStop() {
    Stop();
    return true;
}

void WaitCardExchange::Stop() {
    if (!m_bRunning) {
        return;
    }
    m_bRunning = false;
    if (m_bResetOnStop) {
        m_bResetOnStop = false;
        if (ReaderPort* port = m_link.GetPort()) {
            port->Purge();
        }
        m_link.Reset(0);
    }
}

int WaitCardExchange::FindEnd(std::span<const uint8_t> bytes) {
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == DLE) {
            if (bytes[i + 1] == ETX) {
                return static_cast<int>(i + 1);
            }
            ++i;  // a doubled DLE is one data byte, whatever follows it
        }
    }
    return -1;
}

bool WaitCardExchange::ParseReport(std::span<const uint8_t> telegram, uint8_t& status, uint32_t& serial) {
    uint8_t values[9] = {};
    size_t count = 0;
    for (size_t i = 0; i < telegram.size(); ++i) {
        if (count == sizeof values) {
            return false;  // longer than any report
        }
        values[count++] = telegram[i];
        if (telegram[i] == DLE && i + 1 < telegram.size() && telegram[i + 1] == DLE) {
            ++i;
        }
    }
    status = count > 1 ? values[1] : 0;
    // Sequence, status, length, four serial bytes, check byte.
    if (count != 8 || status != 0 || values[2] != 4) {
        return false;
    }
    uint8_t check = 0;
    for (size_t i = 0; i < 7; ++i) {
        check ^= values[i];
    }
    if (check != values[7]) {
        return false;
    }
    serial = values[3] | values[4] << 8 | values[5] << 16 | static_cast<uint32_t>(values[6]) << 24;
    return true;
}

WaitCardReport WaitCardExchange::Step() {
    if (!m_bRunning) {
        return {};
    }
    WaitCardReport report = RunStep();
    if (report.nStep == WaitCardEnd) {
        report.bEnded = true;
    }
    return report;
}

WaitCardReport WaitCardExchange::RunStep() {
    WaitCardReport report;
    report.nStep = m_nWaitCardStep;
    ReaderPort* port = m_link.GetPort();
    switch (m_nWaitCardStep) {
        case WaitCardArm:
            if (port != nullptr) {
                port->Purge();
            }
            m_result = m_link.WaitForCard();
            m_nWaitCardStep = m_result == LR_OK ? WaitCardAwaitStx : WaitCardEnd;
            break;
        case WaitCardAwaitStx: {
            ByteBuffer byte;
            uint32_t received = 0;
            if (port == nullptr) {
                m_result = EBADF;  // as a port that is not open answers
                End();
            } else if (m_result = port->Read(byte, 1, received); m_result != LR_OK) {
                End();
            } else if (uint8_t first = 0; byte.GetAt(0, first) && first == STX) {
                m_nWaitCardStep = WaitCardAckStx;
            } else if (received == 0) {
                report.dwNextDelayMs = kIdlePollMs;
            }
            break;
        }
        case WaitCardAckStx:
            m_result = port != nullptr ? port->Write(ByteBuffer{DLE}) : EBADF;
            if (m_result != LR_OK) {
                End();
                break;
            }
            m_dwLastDataTick = m_clock.GetTickCount();
            m_collected.Clear();
            m_nCollected = 0;
            m_nWaitCardStep = WaitCardCollect;
            break;
        case WaitCardCollect: {
            ByteBuffer bytes;
            uint32_t received = 0;
            const LinkResult result = port != nullptr ? port->Read(bytes, kReadSize, received) : LR_NO_ANSWER;
            if (received == 0) {
                if (result != LR_OK && m_clock.GetTickCount() - m_dwLastDataTick >= kQuietLimitMs) {
                    m_result = result;
                    End();
                } else {
                    report.dwNextDelayMs = kIdlePollMs;
                }
                break;
            }
            m_dwLastDataTick = m_clock.GetTickCount();
            m_nCollected += received;
            // Bytes past the buffer's size cannot belong to a report: it is refused below.
            const bool overflow = !m_collected.AppendBuffer(bytes);
            if (m_nCollected <= 2) {
                break;
            }
            const std::span<const uint8_t> collected = m_collected.Bytes();
            const int end = FindEnd(collected);
            if (end < 0 && !overflow) {
                break;
            }
            uint32_t serial = 0;
            const bool valid =
                end >= 0 && ParseReport(collected.first(static_cast<size_t>(end - 1)), m_byStatus, serial);
            if (end < 0) {
                m_byStatus = 0;
            }
            if (valid) {
                m_dwCardSerial = serial;
                m_bAccepted = true;
            }
            m_nWaitCardStep = valid ? WaitCardAccept : WaitCardRefuse;
            break;
        }
        case WaitCardAccept:
        case WaitCardRefuse:
            if (port != nullptr) {
                port->Write(ByteBuffer{m_nWaitCardStep == WaitCardAccept ? DLE : NAK});
                port->WriteStatusLine(StatusText(m_byStatus));
            }
            End();
            break;
        default:  // WaitCardEnd
            m_bResetOnStop = false;
            m_bRunning = false;
            break;
    }
    return report;
}
