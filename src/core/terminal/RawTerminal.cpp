#include "terminal/RawTerminal.h"

#include <algorithm>
#include <utility>

#include "link/ReaderPort.h"

LinkResult RawTerminal::Begin() {
    return m_port.SetReadMode(ReadModePolling);
}

void RawTerminal::Type(std::span<const uint8_t> bytes) {
    const std::lock_guard lock(m_mutex);
    m_typed.append(bytes.begin(), bytes.end());
}

bool RawTerminal::HasTyped() {
    const std::lock_guard lock(m_mutex);
    return !m_typed.empty();
}

std::vector<ByteBuffer> RawTerminal::TakeReceived() {
    const std::lock_guard lock(m_mutex);
    return std::exchange(m_received, {});
}

StepOutcome RawTerminal::Advance() {
    ByteBuffer out;
    bool moreTyped = false;
    {
        const std::lock_guard lock(m_mutex);
        const size_t n = std::min<size_t>(m_typed.size(), ByteBuffer::kCapacity);
        out = ByteBuffer(std::span(reinterpret_cast<const uint8_t*>(m_typed.data()), n));
        m_typed.erase(0, n);
        moreTyped = !m_typed.empty();
    }
    if (!out.IsEmpty()) {
        // Typed bytes go first, all of them before the next poll.
        m_port.Write(out);
        return {false, moreTyped ? 0 : kPollPeriodMs, false};
    }
    ByteBuffer in;
    uint32_t received = 0;
    m_port.Read(in, kPollBytes, received);
    if (in.IsEmpty()) {
        return {false, kPollPeriodMs, false};
    }
    const std::lock_guard lock(m_mutex);
    m_received.push_back(in);
    return {false, kPollPeriodMs, true};
}
