#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "link/Clock.h"
#include "link/D2xx.h"
#include "sim/SimReader.h"

// The simulated USB bridge: a D2XX table whose one device (number 0) is the simulated reader.
// FT_OpenEx opens it by the serial number its EEPROM holds now.
//
// FT_Read honours the read time-out. On a FakeClock a read that finds nothing moves the clock on
// (to the reader's next event or the end of the time-out, whichever comes first) instead of
// sleeping, so a 2-second time-out takes microseconds; on any other clock it sleeps on a condition
// variable that the reader wakes when output becomes ready. A read time-out of 0 waits without limit,
// as the vendor library does (on a FakeClock it returns at once when nothing more can come).
class SimD2xxProvider final : public D2xxProvider {
public:
    static constexpr uint32_t kForever = UINT32_MAX;
    // The bridge's source number at the reader (see SimReader::Receive).
    static constexpr int kSource = 1;

    SimD2xxProvider(std::shared_ptr<SimReader> reader, Clock& clock);
    ~SimD2xxProvider() override;
    std::string Name() const override { return "simulated bridge"; }

    // Makes the named call (e.g. "FT_Write") return status instead of doing its work, the next
    // times times (kForever: until cleared with times 0).
    void FailCall(const std::string& name, FT_STATUS status, uint32_t times = 1);

    bool IsOpen();
    uint32_t GetBaudRate();
    uint32_t GetReadTimeout();
    // The event and error characters last set, 0 when disabled.
    std::pair<uint8_t, uint8_t> GetEventChars();

private:
    struct Failure {
        FT_STATUS status;
        uint32_t times;
    };
    // The injected failure of the call, if any (and counts it down).
    bool Failing(const char* name, FT_STATUS& status);
    FT_STATUS Open(FT_HANDLE* handle);
    FT_STATUS CheckHandle(FT_HANDLE handle);
    FT_STATUS Read(uint8_t* buffer, uint32_t toRead, uint32_t* returned);
    FT_STATUS EeRead(FT_PROGRAM_DATA* data);
    FT_STATUS EeProgram(FT_PROGRAM_DATA* data);

    std::shared_ptr<SimReader> m_pReader;
    Clock& m_clock;
    FakeClock* m_pFakeClock;
    int m_nListener;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_bChanged = false;
    std::map<std::string, Failure> m_failures;
    bool m_bOpen = false;
    uint32_t m_dwBaudRate = 9600;
    uint32_t m_dwReadTimeout = 0;
    uint8_t m_byEventChar = 0;
    uint8_t m_byErrorChar = 0;
};
