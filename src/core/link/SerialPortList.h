#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// The serial ports a user can choose: the system's ports (with their descriptions) plus extra
// named ports such as the simulated reader's pseudo-terminal. A port number is the 1-based index
// into this list, as the settings page shows it.
class SerialPortList {
public:
    struct Entry {
        std::string name;         // "/dev/ttyUSB0", "/dev/pts/3"
        std::string description;  // "FT232R USB UART, S/N A9XK2L", "Simulated reader"
    };

    // The folder of the stable names that udev gives serial devices.
    static constexpr const char* kByIdFolder = "/dev/serial/by-id";

    // Reads the system's ports again, each followed by the stable names in byIdFolder that lead to
    // it (a stable name of a device the system list lacks comes last); the extra ports stay, after
    // the system's.
    void Refresh(const std::string& byIdFolder = kByIdFolder);
    void AddExtraPort(const std::string& name, const std::string& description);
    void RemoveExtraPort(const std::string& name);

    std::vector<Entry> Entries() const;
    // The name of port number (1-based); empty when there is none.
    std::string NameOf(uint32_t portNumber) const;
    // The 1-based number of the named port; 0 when it is not in the list.
    uint32_t NumberOf(const std::string& name) const;

    // The list every port of this process uses unless given another.
    static SerialPortList& Shared();

private:
    mutable std::mutex m_mutex;
    std::vector<Entry> m_system;
    std::vector<Entry> m_extra;
};
