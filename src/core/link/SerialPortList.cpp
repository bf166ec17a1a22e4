#include "link/SerialPortList.h"

#include <libserialport.h>

#include <algorithm>

void SerialPortList::Refresh() {
    std::vector<Entry> system;
    sp_port** ports = nullptr;
    if (sp_list_ports(&ports) == SP_OK && ports != nullptr) {
        for (sp_port** port = ports; *port != nullptr; ++port) {
            const char* name = sp_get_port_name(*port);
            const char* description = sp_get_port_description(*port);
            if (name != nullptr) {
                system.push_back({name, description != nullptr ? description : ""});
            }
        }
    }
    sp_free_port_list(ports);
    std::sort(system.begin(), system.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
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
