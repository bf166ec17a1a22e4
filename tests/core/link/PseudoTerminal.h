#pragma once

#include <termios.h>

#include <cstdint>
#include <string>
#include <vector>

// A pseudo-terminal pair for tests of the serial path: the port under test opens the slave by
// name, the test plays the reader on the master.
class PseudoTerminal {
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool IsValid() const { return m_nMaster >= 0; }
    const std::string& SlaveName() const { return m_strSlave; }
    void Send(const std::vector<uint8_t>& bytes);
    // What the port wrote, waiting up to timeoutMs for the first byte.
    std::vector<uint8_t> Receive(int timeoutMs = 1000);
    // The line settings the slave side runs with (a pseudo-terminal pair shares them).
    termios Settings() const;
    // The far side goes away, as an unplugged adapter does.
    void CloseMaster();

private:
    int m_nMaster = -1;
    std::string m_strSlave;
};
