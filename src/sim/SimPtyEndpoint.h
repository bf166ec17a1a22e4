#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimReader.h"

// The simulated reader on a pseudo-terminal: the slave side (PortName(), e.g. /dev/pts/5) is a
// serial port that a ReaderPort opens; a thread moves bytes between the master side and the
// reader in real time. The thread sleeps in ppoll() until a byte arrives, the reader's next timed
// event is due, or another thread changes the reader; it never spins. It blocks SIGINT and SIGTERM,
// which are the front end's to take.
//
// With a baud rate, bytes to the PC leave at the pace of the line (10 bits a byte: start, 8 data,
// stop); bytes from the PC are taken as they come.
class SimPtyEndpoint {
public:
    // The pseudo-terminal's source number at the reader (see SimReader::Receive).
    static constexpr int kSource = 2;

    // Opens the pseudo-terminal (raw mode) and starts the thread; null with a reason on failure.
    // The reader must use the system clock. baudRate 0: no pacing.
    static std::unique_ptr<SimPtyEndpoint> Create(std::shared_ptr<SimReader> reader, uint32_t baudRate,
                                                  std::string& error);
    ~SimPtyEndpoint();
    SimPtyEndpoint(const SimPtyEndpoint&) = delete;
    SimPtyEndpoint& operator=(const SimPtyEndpoint&) = delete;

    std::string PortName() const { return m_strPortName; }

private:
    SimPtyEndpoint(std::shared_ptr<SimReader> reader, uint32_t baudRate);
    void Run();
    void Wake();
    // Clears the exclusive-open flag a client left behind; true while a client really holds the port.
    bool ClearStaleExclusiveFlag();
    static constexpr std::chrono::milliseconds kExclusiveCheck{250};

    std::shared_ptr<SimReader> m_pReader;
    uint32_t m_dwBaudRate;
    std::string m_strPortName;
    int m_nMaster = -1;
    int m_nSlave = -1;  // kept open so that the master side survives the PC closing the port
    int m_anWake[2] = {-1, -1};
    int m_nListener = 0;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
    std::atomic<std::thread::id> m_threadId{};
};
