#include "ScriptedD2xx.h"

#include <algorithm>
#include <cstring>

namespace {

std::string Args(std::initializer_list<uint32_t> values) {
    std::string text;
    for (uint32_t value : values) {
        if (!text.empty()) {
            text += ',';
        }
        text += std::to_string(value);
    }
    return text;
}

}  // namespace

ScriptedD2xx::ScriptedD2xx() {
    D2xxTable& t = m_table;
    t.FT_Open = [this](int device, FT_HANDLE* handle) {
        if (FT_STATUS s = Record("FT_Open", nullptr, Args({static_cast<uint32_t>(device)}))) {
            return s;
        }
        *handle = reinterpret_cast<FT_HANDLE>(++m_nOpened);
        return FT_STATUS{FT_OK};
    };
    t.FT_OpenEx = [this](void* arg, uint32_t flags, FT_HANDLE* handle) {
        const std::string text = arg != nullptr ? static_cast<const char*>(arg) : "";
        if (FT_STATUS s = Record("FT_OpenEx", nullptr, text + "," + Args({flags}))) {
            return s;
        }
        *handle = reinterpret_cast<FT_HANDLE>(++m_nOpened);
        return FT_STATUS{FT_OK};
    };
    t.FT_Close = [this](FT_HANDLE h) { return Record("FT_Close", h, ""); };
    t.FT_Read = [this](FT_HANDLE h, void* buffer, uint32_t toRead, uint32_t* returned) {
        *returned = 0;
        if (FT_STATUS s = Record("FT_Read", h, Args({toRead}))) {
            return s;
        }
        if (!m_reads.empty()) {
            std::vector<uint8_t>& chunk = m_reads.front();
            const uint32_t count = std::min<uint32_t>(toRead, static_cast<uint32_t>(chunk.size()));
            std::memcpy(buffer, chunk.data(), count);
            chunk.erase(chunk.begin(), chunk.begin() + count);
            if (chunk.empty()) {
                m_reads.pop_front();
            }
            *returned = count;
        }
        return FT_STATUS{FT_OK};
    };
    t.FT_Write = [this](FT_HANDLE h, void* buffer, uint32_t toWrite, uint32_t* written) {
        *written = 0;
        if (FT_STATUS s = Record("FT_Write", h, Args({toWrite}))) {
            return s;
        }
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        m_written.insert(m_written.end(), bytes, bytes + toWrite);
        *written = toWrite;
        return FT_STATUS{FT_OK};
    };
    t.FT_SetBaudRate = [this](FT_HANDLE h, uint32_t baud) {
        return Record("FT_SetBaudRate", h, Args({baud}));
    };
    t.FT_SetDataCharacteristics = [this](FT_HANDLE h, uint8_t word, uint8_t stop, uint8_t parity) {
        return Record("FT_SetDataCharacteristics", h, Args({word, stop, parity}));
    };
    t.FT_SetFlowControl = [this](FT_HANDLE h, uint16_t flow, uint8_t xon, uint8_t xoff) {
        return Record("FT_SetFlowControl", h, Args({flow, xon, xoff}));
    };
    t.FT_SetDtr = [this](FT_HANDLE h) { return Record("FT_SetDtr", h, ""); };
    t.FT_ClrDtr = [this](FT_HANDLE h) { return Record("FT_ClrDtr", h, ""); };
    t.FT_SetRts = [this](FT_HANDLE h) { return Record("FT_SetRts", h, ""); };
    t.FT_ClrRts = [this](FT_HANDLE h) { return Record("FT_ClrRts", h, ""); };
    t.FT_SetChars = [this](FT_HANDLE h, uint8_t event, uint8_t eventOn, uint8_t error, uint8_t errorOn) {
        return Record("FT_SetChars", h, Args({event, eventOn, error, errorOn}));
    };
    t.FT_Purge = [this](FT_HANDLE h, uint32_t mask) { return Record("FT_Purge", h, Args({mask})); };
    t.FT_SetTimeouts = [this](FT_HANDLE h, uint32_t readMs, uint32_t writeMs) {
        if (FT_STATUS s = Record("FT_SetTimeouts", h, Args({readMs, writeMs}))) {
            return s;
        }
        m_dwReadTimeout = readMs;
        return FT_STATUS{FT_OK};
    };
    t.FT_GetQueueStatus = [this](FT_HANDLE h, uint32_t* rxBytes) {
        *rxBytes = 0;
        if (FT_STATUS s = Record("FT_GetQueueStatus", h, "")) {
            return s;
        }
        for (const auto& chunk : m_reads) {
            *rxBytes += static_cast<uint32_t>(chunk.size());
        }
        return FT_STATUS{FT_OK};
    };
}

void ScriptedD2xx::QueueRead(std::initializer_list<uint8_t> bytes) {
    QueueRead(std::vector<uint8_t>(bytes));
}

void ScriptedD2xx::QueueRead(const std::vector<uint8_t>& bytes) {
    if (!bytes.empty()) {
        m_reads.push_back(bytes);
    }
}

void ScriptedD2xx::Fail(const std::string& function, FT_STATUS status, int times) {
    m_failures[function] = {status, times};
}

void ScriptedD2xx::Remove(const std::string& function) {
    D2xxTable& t = m_table;
    const std::map<std::string, std::function<void()>> clearers = {
        {"FT_Open", [&] { t.FT_Open = nullptr; }},
        {"FT_OpenEx", [&] { t.FT_OpenEx = nullptr; }},
        {"FT_Close", [&] { t.FT_Close = nullptr; }},
        {"FT_Read", [&] { t.FT_Read = nullptr; }},
        {"FT_Write", [&] { t.FT_Write = nullptr; }},
        {"FT_SetBaudRate", [&] { t.FT_SetBaudRate = nullptr; }},
        {"FT_SetDataCharacteristics", [&] { t.FT_SetDataCharacteristics = nullptr; }},
        {"FT_SetFlowControl", [&] { t.FT_SetFlowControl = nullptr; }},
        {"FT_SetDtr", [&] { t.FT_SetDtr = nullptr; }},
        {"FT_SetRts", [&] { t.FT_SetRts = nullptr; }},
        {"FT_SetChars", [&] { t.FT_SetChars = nullptr; }},
        {"FT_Purge", [&] { t.FT_Purge = nullptr; }},
        {"FT_SetTimeouts", [&] { t.FT_SetTimeouts = nullptr; }},
        {"FT_GetQueueStatus", [&] { t.FT_GetQueueStatus = nullptr; }},
    };
    if (auto it = clearers.find(function); it != clearers.end()) {
        it->second();
    }
}

std::vector<std::string> ScriptedD2xx::CallsOf(const std::string& function) const {
    std::vector<std::string> calls;
    for (const std::string& call : m_calls) {
        if (call.compare(0, function.size() + 1, function + "(") == 0) {
            calls.push_back(call);
        }
    }
    return calls;
}

FT_HANDLE ScriptedD2xx::LastHandle() const {
    return reinterpret_cast<FT_HANDLE>(m_nOpened);
}

void ScriptedD2xx::ClearCalls() {
    m_calls.clear();
    m_handles.clear();
}

FT_STATUS ScriptedD2xx::Record(const std::string& name, FT_HANDLE handle, const std::string& args) {
    m_calls.push_back(name + "(" + args + ")");
    m_handles.push_back(handle);
    auto it = m_failures.find(name);
    if (it == m_failures.end() || it->second.second <= 0) {
        return FT_OK;
    }
    --it->second.second;
    return it->second.first;
}
