#pragma once

#include <cstdint>
#include <string>

#include "link/ByteBuffer.h"
#include "link/Clock.h"
#include "link/LinkResult.h"
#include "link/ReaderPort.h"
#include "link/ReaderProtocol.h"

enum LinkMode : uint32_t { LinkMode3964R = 0, LinkModeDleFramed = 1 };

// Build-failure codes: a command's parameter bytes could not be assembled.
inline constexpr LinkResult LR_BUILD_REQUEST = 0x20000097;
inline constexpr LinkResult LR_BUILD_ANTICOLLISION = 0x20000098;
inline constexpr LinkResult LR_BUILD_SELECT = 0x20000099;
inline constexpr LinkResult LR_BUILD_WRITE = 0x2000009B;
inline constexpr LinkResult LR_BUILD_RESET = 0x2000009C;
inline constexpr LinkResult LR_BUILD_READ = 0x2000009D;
inline constexpr LinkResult LR_BUILD_LOADKEY = 0x2000009E;
inline constexpr LinkResult LR_BUILD_SETPORT = 0x200000A0;
inline constexpr LinkResult LR_BUILD_INCREMENT = 0x200000A4;
inline constexpr LinkResult LR_BUILD_DECREMENT = 0x200000A5;
inline constexpr LinkResult LR_BUILD_DECREMENT_TRANSFER = 0x200000A6;
inline constexpr LinkResult LR_BUILD_RESTORE = 0x200000A7;
inline constexpr LinkResult LR_BUILD_TRANSFER = 0x200000A8;
inline constexpr LinkResult LR_BUILD_READ_VALUE = 0x200000AA;
inline constexpr LinkResult LR_NO_AUTHENTICATION = 0x200000CC;

// The status the link sets when an exchange failed.
inline constexpr uint8_t kStatusSerialError = 0x15;

// The reader's text for a status byte (string 128 + status; empty where there is none).
std::string StatusText(uint8_t status);
// 0 for status 0, else LR_READER_BASE + status.
LinkResult StatusToResult(uint8_t status);

// One reader command as one request/answer exchange over the port, in the 3964R procedure or
// its DLE-framed variant, and the reader's command set on top. Every wait is measured with the
// injected clock.
class ReaderLink {
public:
    explicit ReaderLink(Clock& clock = Clock::System()) : m_clock(clock) {}
    virtual ~ReaderLink() = default;

    LinkResult Connect(ReaderPort* port, uint32_t baudRate);
    LinkResult Transact(uint8_t command, ByteBuffer parameters, uint8_t& status, ByteBuffer& answer);
    LinkResult SendAndWaitDle(ByteBuffer bytes, uint32_t timeoutMs, bool wait);

    uint8_t GetSequenceNumber() const { return m_bySequence; }
    void SetSequenceNumber(uint8_t sequence) { m_bySequence = sequence; }
    uint32_t GetLinkMode() const { return m_dwLinkMode; }
    ReaderPort* GetPort() const { return m_pPort; }
    // The answer bytes of the last command's exchange as they came, so that a caller can tell a
    // value the reader sent from one the command left as it was because the answer was short.
    const ByteBuffer& GetLastAnswer() const { return m_lastAnswer; }
    Clock& GetClock() const { return m_clock; }

    // The command set.
    LinkResult Request(uint8_t mode, uint32_t& cardType);
    LinkResult Reset(uint16_t value);
    LinkResult Anticollision(uint32_t& serialNumber);
    LinkResult Select(uint32_t serialNumber, uint8_t& selected);
    LinkResult LoadKey(uint8_t mode, uint8_t keyNumber, ByteBuffer keyA, ByteBuffer keyB);
    LinkResult Authenticate(uint8_t mode, uint8_t keyNumber, uint8_t block);
    LinkResult ReadBlock(uint8_t block, ByteBuffer& data);
    LinkResult WriteBlock(uint8_t block, ByteBuffer data);
    LinkResult Halt();
    LinkResult Increment(uint8_t block, uint32_t value);
    LinkResult Decrement(uint8_t block, uint32_t value);
    LinkResult DecrementTransfer(uint8_t block, uint32_t value);
    LinkResult Restore(uint8_t block);
    LinkResult Transfer(uint8_t block);
    LinkResult SetPort(uint8_t mask);
    LinkResult GetInfo(ByteBuffer& answer);
    LinkResult WaitForCard();
    LinkResult MakeValueBlock(uint8_t block, uint8_t address, uint32_t value);
    LinkResult ReadValueBlock(uint8_t block, ByteBuffer& data);
    LinkResult Startup();

private:
    void ProbeLinkMode();
    void SettleAfterProbe();
    // One read that returns as soon as a byte is in, or after the normal read time-out.
    LinkResult ReadFirstBytes(ByteBuffer& into, uint32_t& count);
    // Waits for the reader's DLE in answer to what was just written.
    LinkResult WaitForAck(uint32_t timeoutMs);
    // Waits for the reader's STX that opens its answer and acknowledges it with DLE.
    LinkResult WaitForReaderStx();
    // Reads one telegram up to its DLE ETX, removing the DLE doubling.
    LinkResult ReceiveTelegram(ByteBuffer& telegram, bool framed);
    // The request on the wire: telegram with BCC, DLE doubled, DLE ETX (and DLE STX when framed).
    bool BuildRequest(uint8_t command, const ByteBuffer& parameters, ByteBuffer& frame) const;
    // One command's exchange with status preset to 0. When it fails, a reporting command writes
    // the status line of the failure; a quiet one writes nothing.
    LinkResult Exchange(uint8_t command, const ByteBuffer& parameters, bool reports, uint8_t& status,
                        ByteBuffer& answer);
    void WriteStatusLine(const std::string& text);
    // The status line and result of a command whose exchange succeeded.
    LinkResult Finish(uint8_t status);
    // A command whose answer carries nothing but the status: the exchange, then the status line.
    LinkResult RunCommand(uint8_t command, const ByteBuffer& parameters, bool reports);

    ReaderPort* m_pPort = nullptr;
    Clock& m_clock;
    uint8_t m_bySequence = 0;
    uint32_t m_dwLinkMode = LinkMode3964R;
    ByteBuffer m_lastAnswer;
};
