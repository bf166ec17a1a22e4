#pragma once

#include <cstdint>
#include <vector>

#include "core/link/ScriptedBridge.h"

// The scripted bridge, keeping every byte the PC took from it in order.
class RecordingBridge : public ScriptedBridge {
public:
    explicit RecordingBridge(FakeClock& clock) : ScriptedBridge(clock) {
        m_table.FT_Read = [this, read = m_table.FT_Read](FT_HANDLE handle, void* buffer, uint32_t n,
                                                         uint32_t* count) {
            const FT_STATUS status = read(handle, buffer, n, count);
            if (status == FT_OK) {
                const auto* bytes = static_cast<const uint8_t*>(buffer);
                taken.insert(taken.end(), bytes, bytes + *count);
            }
            return status;
        };
    }
    std::vector<uint8_t> taken;
};
