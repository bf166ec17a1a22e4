#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

// Read and write time-outs with the meaning of the Windows serial API, in milliseconds:
// a read ends when readInterval passes between two bytes (after the first), or when
// readMultiplier * n + readConstant passes in total; zero turns either limit off.
// readInterval = kReturnAtOnce with both read totals 0 returns at once with what is queued.
struct SerialTimeouts {
    static constexpr uint32_t kReturnAtOnce = 0xFFFFFFFF;

    uint32_t readInterval = 0;
    uint32_t readMultiplier = 0;
    uint32_t readConstant = 0;
    uint32_t writeMultiplier = 0;
    uint32_t writeConstant = 0;

    bool ReturnsAtOnce() const {
        return readInterval == kReturnAtOnce && readMultiplier == 0 && readConstant == 0;
    }
};

// One serial line on the POSIX termios interface: a real port or a pseudo-terminal, opened
// exclusively. Every call returns 0 or the errno of the failed system call; every wait sleeps in
// poll(). A line whose device went away (adapter unplugged, far side of a pseudo-terminal closed)
// answers EIO.
class SerialLine {
public:
    using ReadComplete = std::function<bool(std::span<const uint8_t> bytes)>;

    SerialLine() = default;
    ~SerialLine();
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    // EBUSY when another program (or another line of this one) holds the port.
    int Open(const std::string& name);
    // Whether Configure can set the line to this rate.
    static bool SupportsBaudRate(uint32_t baudRate);
    // parity: 0 none, 1 odd, 2 even, 3 mark, 4 space; stopBits: 0 one, 1 one and a half, 2 two;
    // handshake non-zero: RTS/CTS. Raises DTR and RTS.
    int Configure(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits, uint32_t handshake);
    void SetTimeouts(const SerialTimeouts& timeouts) { m_timeouts = timeouts; }
    const SerialTimeouts& GetTimeouts() const { return m_timeouts; }
    // Drops what was received and not yet read; what was written still goes out.
    int Purge();
    // A write that runs out of its total time-out is not an error: written says how far it got.
    int Write(const uint8_t* bytes, uint32_t n, uint32_t& written);
    // With complete, the read takes one byte at a time and ends as soon as complete() is true, so
    // it never takes bytes that follow the awaited ones.
    int Read(uint8_t* destination, uint32_t n, uint32_t& received, const ReadComplete& complete = {});
    // Lowers DTR and RTS and closes; 0 when nothing is open.
    int Close();

    bool IsOpen() const { return m_nFd >= 0; }
    int GetFd() const { return m_nFd; }
    // Whether the device went away or the line hung up, without reading a byte: 0, or EIO (EBADF
    // for a descriptor the system no longer knows). Returns at once.
    int HangUpError() const;

    // For a signal handler that ends the process: gives up the exclusive hold of every open line,
    // which would otherwise outlive the process on a pseudo-terminal whose far side stays open.
    // Async-signal-safe.
    static void ReleaseAllForExit();

private:
    // Waits until the line is readable or timeoutNs passes (negative: no limit). 1 readable,
    // 0 time-out, else -errno.
    int WaitReadable(int64_t timeoutNs);

    int m_nFd = -1;
    SerialTimeouts m_timeouts;
};
