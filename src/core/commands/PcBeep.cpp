#include "commands/PcBeep.h"

#include <alsa/asoundlib.h>

#include <cmath>
#include <numbers>

namespace {

constexpr unsigned kSampleRate = 48000;
constexpr unsigned kLatencyUs = 100000;  // room for the whole tone in the device's buffer
constexpr double kAmplitude = 0.3 * 32767;

// The sound library would print its own complaints on the terminal; the program says it once.
void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

PcBeep::PcBeep(std::string device) : m_strDevice(std::move(device)) {}

PcBeep::~PcBeep() {
    if (m_pPcm != nullptr) {
        snd_pcm_close(m_pPcm);
    }
}

bool PcBeep::Open() {
    m_bTried = true;
    snd_lib_error_set_handler(QuietAlsa);
    int error = snd_pcm_open(&m_pPcm, m_strDevice.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (error == 0) {
        error = snd_pcm_set_params(m_pPcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1, kSampleRate,
                                   1, kLatencyUs);
        if (error != 0) {
            snd_pcm_close(m_pPcm);
        }
    }
    if (error != 0) {
        m_pPcm = nullptr;
        m_strReason = std::string("No sound device (") + snd_strerror(error) + "): the PC beep is silent.";
        return false;
    }
    const size_t frames = kSampleRate * kDurationMs / 1000;
    m_tone.resize(frames);
    for (size_t i = 0; i < frames; ++i) {
        m_tone[i] = static_cast<int16_t>(kAmplitude * std::sin(2 * std::numbers::pi * kFrequencyHz *
                                                               static_cast<double>(i) / kSampleRate));
    }
    return true;
}

bool PcBeep::IsAvailable() {
    return m_bTried ? m_pPcm != nullptr : Open();
}

bool PcBeep::Beep() {
    if (!IsAvailable()) {
        return false;
    }
    // Whatever is left of the last tone goes; the new one starts now and plays from the buffer.
    snd_pcm_drop(m_pPcm);
    snd_pcm_prepare(m_pPcm);
    const snd_pcm_sframes_t written = snd_pcm_writei(m_pPcm, m_tone.data(), m_tone.size());
    if (written < 0) {
        return false;
    }
    if (snd_pcm_state(m_pPcm) == SND_PCM_STATE_PREPARED) {
        snd_pcm_start(m_pPcm);
    }
    return true;
}

std::string PcBeep::TakeNotice() {
    if (m_bNoticeGiven || m_strReason.empty()) {
        return {};
    }
    m_bNoticeGiven = true;
    return m_strReason;
}
