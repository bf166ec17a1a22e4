#include "PseudoTerminal.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal() {
    m_nMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_nMaster < 0) {
        return;
    }
    const char* name = ptsname(m_nMaster);
    if (grantpt(m_nMaster) != 0 || unlockpt(m_nMaster) != 0 || name == nullptr) {
        CloseMaster();
        return;
    }
    m_strSlave = name;
}

PseudoTerminal::~PseudoTerminal() {
    CloseMaster();
}

void PseudoTerminal::Send(const std::vector<uint8_t>& bytes) {
    if (write(m_nMaster, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        CloseMaster();
    }
}

std::vector<uint8_t> PseudoTerminal::Receive(int timeoutMs) {
    std::vector<uint8_t> bytes;
    pollfd entry{m_nMaster, POLLIN, 0};
    while (poll(&entry, 1, bytes.empty() ? timeoutMs : 0) > 0 && (entry.revents & POLLIN) != 0) {
        uint8_t chunk[256];
        const ssize_t count = read(m_nMaster, chunk, sizeof chunk);
        if (count <= 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + count);
    }
    return bytes;
}

termios PseudoTerminal::Settings() const {
    termios settings{};
    tcgetattr(m_nMaster, &settings);
    return settings;
}

void PseudoTerminal::CloseMaster() {
    if (m_nMaster >= 0) {
        close(m_nMaster);
        m_nMaster = -1;
    }
}
