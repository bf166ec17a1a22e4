#pragma once

#include <cstdint>
#include <string>
#include <vector>

typedef struct _snd_pcm snd_pcm_t;

// The PC beep at the start of a continuous-read cycle: a short tone through the sound system that
// starts playing and returns at once, so that the cycle never waits for it. On a machine without
// a sound device the beep is silent, and the reason is handed out once for the user to see.
class PcBeep {
public:
    static constexpr uint32_t kFrequencyHz = 880;
    static constexpr uint32_t kDurationMs = 50;

    explicit PcBeep(std::string device = "default");
    ~PcBeep();
    PcBeep(const PcBeep&) = delete;
    PcBeep& operator=(const PcBeep&) = delete;

    // Starts the tone (cutting a tone still playing); false when it cannot sound.
    bool Beep();
    // The first call opens the device.
    bool IsAvailable();
    // Why the beep is silent, the first time it is asked after a failure; then empty.
    std::string TakeNotice();

private:
    bool Open();

    std::string m_strDevice;
    snd_pcm_t* m_pPcm = nullptr;
    bool m_bTried = false;
    std::string m_strReason;
    bool m_bNoticeGiven = false;
    std::vector<int16_t> m_tone;
};
