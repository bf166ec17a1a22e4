#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "link/ByteBuffer.h"
#include "link/LinkResult.h"
#include "stepping/StepMachine.h"

class ReaderPort;

// The monitor's raw terminal below the link, as a step machine: each step hands the typed bytes
// that wait to the port (a buffer's worth at most), or else polls the port for what arrived; the
// port's trace shows both. Typing and taking what arrived may happen on any thread; Begin and the
// steps run where the port's exchanges run.
class RawTerminal : public StepMachine {
public:
    static constexpr uint32_t kPollPeriodMs = 50;
    static constexpr uint32_t kPollBytes = 64;

    explicit RawTerminal(ReaderPort& port) : m_port(port) {}

    // Polling reads from now on: a read returns at once with what has already arrived.
    LinkResult Begin();
    void Type(std::span<const uint8_t> bytes);
    bool HasTyped();
    // The chunks read since the last call, in order, one per read that brought bytes.
    std::vector<ByteBuffer> TakeReceived();

    StepOutcome Advance() override;
    bool RequestStop() override { return true; }

private:
    ReaderPort& m_port;
    std::mutex m_mutex;
    std::string m_typed;  // typed, not yet handed to the port
    std::vector<ByteBuffer> m_received;
};
