#include "link/SerialPortList.h"

#include <libserialport.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace {

std::string Text(const char* text) {
    return text != nullptr ? text : "";
}

// What tells a port from its neighbours: for a USB adapter its product name and serial number,
// which are also what is printed on it; else what the system says.
std::string Describe(sp_port* port) {
    std::string description = Text(sp_get_port_description(port));
    if (sp_get_port_transport(port) != SP_TRANSPORT_USB) {
        return description;
    }
    const std::string product = Text(sp_get_port_usb_product(port));
    const std::string serial = Text(sp_get_port_usb_serial(port));
    if (!product.empty()) {
        description = product;
    }
    if (!serial.empty()) {
        description += (description.empty() ? "S/N " : ", S/N ") + serial;
    }
    return description;
}

struct StableName {
    std::string name;
    std::string device;  // where it leads, resolved
};

std::vector<StableName> StableNames(const std::string& folder) {
    namespace fs = std::filesystem;
    std::vector<StableName> names;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const fs::path device = fs::canonical(it->path(), error);
        if (!error) {
            names.push_back({it->path().string(), device.string()});
        }
        error.clear();
    }
    std::sort(names.begin(), names.end(),
              [](const StableName& a, const StableName& b) { return a.name < b.name; });
    return names;
}

}  // namespace

void SerialPortList::Refresh(const std::string& byIdFolder) {
    std::vector<Entry> found;
    sp_port** ports = nullptr;
    if (sp_list_ports(&ports) == SP_OK && ports != nullptr) {
        for (sp_port** port = ports; *port != nullptr; ++port) {
            const char* name = sp_get_port_name(*port);
            if (name != nullptr) {
                found.push_back({name, Describe(*port)});
            }
        }
    }
    sp_free_port_list(ports);
    std::sort(found.begin(), found.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });

    // A stable name survives re-plugging and renumbering: offer it next to the device it names.
    std::vector<StableName> stable = StableNames(byIdFolder);
    std::vector<Entry> system;
    for (const Entry& entry : found) {
        system.push_back(entry);
        std::error_code error;
        const std::string device = std::filesystem::canonical(entry.name, error).string();
        for (const StableName& name : stable) {
            if (!error && name.device == device) {
                system.push_back({name.name, entry.name});
            }
        }
        if (!error) {
            std::erase_if(stable, [&device](const StableName& name) { return name.device == device; });
        }
    }
    for (const StableName& name : stable) {
        system.push_back({name.name, name.device});
    }
    std::lock_guard lock(m_mutex);
    m_system = std::move(system);
}

void SerialPortList::AddExtraPort(const std::string& name, const std::string& description) {
    std::lock_guard lock(m_mutex);
    for (Entry& entry : m_extra) {
        if (entry.name == name) {
            entry.description = description;
            return;
        }
    }
    m_extra.push_back({name, description});
}

void SerialPortList::RemoveExtraPort(const std::string& name) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_extra, [&](const Entry& entry) { return entry.name == name; });
}

std::vector<SerialPortList::Entry> SerialPortList::Entries() const {
    std::lock_guard lock(m_mutex);
    std::vector<Entry> entries = m_system;
    entries.insert(entries.end(), m_extra.begin(), m_extra.end());
    return entries;
}

std::string SerialPortList::NameOf(uint32_t portNumber) const {
    std::lock_guard lock(m_mutex);
    if (portNumber == 0) {
        return {};
    }
    const size_t index = portNumber - 1;
    if (index < m_system.size()) {
        return m_system[index].name;
    }
    if (index - m_system.size() < m_extra.size()) {
        return m_extra[index - m_system.size()].name;
    }
    return {};
}

uint32_t SerialPortList::NumberOf(const std::string& name) const {
    const std::vector<Entry> entries = Entries();
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].name == name) {
            return static_cast<uint32_t>(i + 1);
        }
    }
    return 0;
}

SerialPortList& SerialPortList::Shared() {
    static SerialPortList shared;
    static std::once_flag once;
    std::call_once(once, [] { shared.Refresh(); });
    return shared;
}
