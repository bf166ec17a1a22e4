#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <span>
#include <vector>

#include "link/Clock.h"
#include "link/D2xx.h"

// A USB bridge with a reader behind it that reacts to what the PC writes (unlike ScriptedD2xx,
// which only plays back queued reads). The reader is a script: each write is handed to onWrite, which queues
// the reader's bytes with Send. A read with nothing queued lets the fake clock run through the read time-out,
// as a real bridge would wait, so time-outs pass without real time.
class ScriptedBridge : public D2xxProvider {
public:
    explicit ScriptedBridge(FakeClock& clock);
    std::string Name() const override { return "scripted bridge"; }

    void Send(std::span<const uint8_t> bytes) { m_rx.insert(m_rx.end(), bytes.begin(), bytes.end()); }
    void Send(std::initializer_list<uint8_t> bytes) {
        Send(std::span<const uint8_t>(bytes.begin(), bytes.size()));
    }

    // A 3964R answer telegram, BCC added, DLE doubled, DLE ETX appended.
    static std::vector<uint8_t> Telegram(std::vector<uint8_t> bytes, bool badBcc = false);

    std::function<void(std::span<const uint8_t> written)> onWrite;
    // A reader that never stops sending: with nothing else queued, each read takes streamChunk bytes
    // of streamByte, which cost streamMs of the clock.
    bool streaming = false;
    uint8_t streamByte = 0;
    uint32_t streamChunk = 1;
    uint32_t streamMs = 1;
    uint64_t delivered = 0;         // bytes the PC has read
    std::vector<uint8_t> written;   // every byte the PC wrote
    FT_STATUS readStatus = FT_OK;   // what FT_Read reports
    FT_STATUS writeStatus = FT_OK;  // what FT_Write reports (a bridge that went away)
    FT_STATUS openStatus = FT_OK;   // what FT_Open reports (a bridge that cannot be re-opened)
    uint32_t msPerByte = 0;         // the fake time each delivered byte takes to arrive (a slow reader)

private:
    FakeClock& m_clock;
    std::deque<uint8_t> m_rx;
    uint32_t m_dwReadTimeout = 100;
};
