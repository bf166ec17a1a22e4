#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "link/D2xx.h"

// A USB bridge for unit tests, behind the same table as the real ones. It records every call as
// text ("FT_SetTimeouts(100,100)", the handle left out) and every byte written, plays back the
// bytes queued for reading, and fails chosen calls with a chosen status. It never sleeps: a read
// returns at once with what is queued, as a real bridge would after its read time-out.
class ScriptedD2xx : public D2xxProvider {
public:
    ScriptedD2xx();
    std::string Name() const override { return "scripted bridge"; }

    // Bytes for one later read: a read takes from the oldest chunk only, so separate chunks
    // arrive in separate reads.
    void QueueRead(std::initializer_list<uint8_t> bytes);
    void QueueRead(const std::vector<uint8_t>& bytes);
    // The next `times` calls of the named function return status and do nothing else.
    void Fail(const std::string& function, FT_STATUS status, int times = 1);
    // Empties one table entry, as a library that lacks the name would.
    void Remove(const std::string& function);

    const std::vector<std::string>& Calls() const { return m_calls; }
    // The recorded calls of one function, in order.
    std::vector<std::string> CallsOf(const std::string& function) const;
    const std::vector<uint8_t>& Written() const { return m_written; }
    // Handles are numbered from 1 by each successful FT_Open or FT_OpenEx.
    FT_HANDLE LastHandle() const;
    // The handle passed to each recorded call (null for the opens).
    const std::vector<FT_HANDLE>& Handles() const { return m_handles; }
    uint32_t ReadTimeout() const { return m_dwReadTimeout; }
    void ClearCalls();

private:
    // Records the call; returns the status to fail it with, or FT_OK to go on.
    FT_STATUS Record(const std::string& name, FT_HANDLE handle, const std::string& args);

    std::vector<std::string> m_calls;
    std::vector<FT_HANDLE> m_handles;
    std::vector<uint8_t> m_written;
    std::deque<std::vector<uint8_t>> m_reads;
    std::map<std::string, std::pair<FT_STATUS, int>> m_failures;
    uintptr_t m_nOpened = 0;
    uint32_t m_dwReadTimeout = 0;
};
