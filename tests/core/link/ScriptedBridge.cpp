#include "core/link/ScriptedBridge.h"

#include <algorithm>

ScriptedBridge::ScriptedBridge(FakeClock& clock) : m_clock(clock) {
    static int handle = 0;
    auto ok = [](FT_HANDLE) { return FT_OK; };
    m_table.FT_Open = [this](int, FT_HANDLE* h) -> FT_STATUS {
        if (openStatus != FT_OK) {
            return openStatus;
        }
        *h = &handle;
        return FT_OK;
    };
    m_table.FT_Close = ok;
    m_table.FT_SetBaudRate = [](FT_HANDLE, uint32_t) { return FT_OK; };
    m_table.FT_SetDataCharacteristics = [](FT_HANDLE, uint8_t, uint8_t, uint8_t) { return FT_OK; };
    m_table.FT_SetFlowControl = [](FT_HANDLE, uint16_t, uint8_t, uint8_t) { return FT_OK; };
    m_table.FT_SetDtr = ok;
    m_table.FT_SetRts = ok;
    m_table.FT_SetChars = [](FT_HANDLE, uint8_t, uint8_t, uint8_t, uint8_t) { return FT_OK; };
    m_table.FT_Purge = [this](FT_HANDLE, uint32_t) {
        m_rx.clear();
        return FT_OK;
    };
    m_table.FT_SetTimeouts = [this](FT_HANDLE, uint32_t readMs, uint32_t) {
        m_dwReadTimeout = readMs;
        return FT_OK;
    };
    m_table.FT_Write = [this](FT_HANDLE, void* buffer, uint32_t n, uint32_t* count) -> FT_STATUS {
        if (writeStatus != FT_OK) {
            *count = 0;
            return writeStatus;
        }
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        written.insert(written.end(), bytes, bytes + n);
        *count = n;
        if (onWrite) {
            onWrite({bytes, n});
        }
        return FT_OK;
    };
    m_table.FT_Read = [this](FT_HANDLE, void* buffer, uint32_t n, uint32_t* count) -> FT_STATUS {
        *count = 0;
        if (readStatus != FT_OK) {
            return readStatus;
        }
        if (m_rx.empty() && streaming) {
            *count = std::min(n, streamChunk);
            std::fill_n(static_cast<uint8_t*>(buffer), *count, streamByte);
            m_clock.Advance(streamMs);
            delivered += *count;
            return FT_OK;
        }
        if (m_rx.empty()) {
            m_clock.Advance(m_dwReadTimeout);
            return FT_OK;
        }
        const uint32_t take = std::min<uint32_t>(n, static_cast<uint32_t>(m_rx.size()));
        std::copy_n(m_rx.begin(), take, static_cast<uint8_t*>(buffer));
        m_rx.erase(m_rx.begin(), m_rx.begin() + take);
        m_clock.Advance(msPerByte * take);
        *count = take;
        delivered += take;
        return FT_OK;
    };
}

std::vector<uint8_t> ScriptedBridge::Telegram(std::vector<uint8_t> bytes, bool badBcc) {
    uint8_t bcc = 0;
    for (uint8_t b : bytes) {
        bcc ^= b;
    }
    bytes.push_back(static_cast<uint8_t>(badBcc ? bcc ^ 0xFF : bcc));
    std::vector<uint8_t> wire;
    for (uint8_t b : bytes) {
        wire.push_back(b);
        if (b == 0x10) {
            wire.push_back(0x10);
        }
    }
    wire.push_back(0x10);
    wire.push_back(0x03);
    return wire;
}
