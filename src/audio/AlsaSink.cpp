#include "audio/AlsaSink.h"

#include <algorithm>
#include <mutex>

namespace qx::audio {

namespace {

// Room for what a player keeps queued (320 ms) with margin.
constexpr unsigned kBufferMicroseconds = 500000;

// A machine without a sound card is normal here: the silent sink takes over, and
// ALSA's complaints about the missing card would only clutter the host's output.
void QuietErrors(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

AlsaSink::~AlsaSink() {
    Close();
}

bool AlsaSink::Open(const PcmFormat& format) {
    Close();
    m_format = format;
    m_written = 0;
    static std::once_flag quiet;
    std::call_once(quiet, [] { snd_lib_error_set_handler(&QuietErrors); });
    if (snd_pcm_open(&m_pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
        m_pcm = nullptr;
        return false;
    }
    const snd_pcm_format_t sample = format.bits == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
    if (snd_pcm_set_params(m_pcm, sample, SND_PCM_ACCESS_RW_INTERLEAVED,
                           static_cast<unsigned>(format.channels),
                           static_cast<unsigned>(format.rate), 1, kBufferMicroseconds) < 0 ||
        !SetStartThreshold()) {
        Close();
        return false;
    }
    return true;
}

bool AlsaSink::SetStartThreshold() {
    // A device starts at its start threshold, which snd_pcm_set_params leaves at the
    // whole buffer: more than a player keeps queued, so it would never start. One
    // period starts it as soon as the player has primed it.
    snd_pcm_uframes_t buffer = 0;
    snd_pcm_uframes_t period = 0;
    if (snd_pcm_get_params(m_pcm, &buffer, &period) < 0 || period == 0)
        return false;
    snd_pcm_sw_params_t* params = nullptr;
    if (snd_pcm_sw_params_malloc(&params) < 0)
        return false;
    const bool set = snd_pcm_sw_params_current(m_pcm, params) == 0 &&
                     snd_pcm_sw_params_set_start_threshold(m_pcm, params, period) == 0 &&
                     snd_pcm_sw_params_set_avail_min(m_pcm, params, period) == 0 &&
                     snd_pcm_sw_params(m_pcm, params) == 0;
    snd_pcm_sw_params_free(params);
    return set;
}

size_t AlsaSink::Write(const uint8_t* data, size_t size) {
    if (m_pcm == nullptr)
        return 0;
    const int frameBytes = m_format.BytesPerFrame();
    snd_pcm_uframes_t frames = size / frameBytes;
    size_t taken = 0;
    while (frames > 0) {
        const snd_pcm_sframes_t done = snd_pcm_writei(m_pcm, data + taken, frames);
        if (done == -EAGAIN)
            break;
        if (done < 0) {
            // An underrun or a suspended device: recover once and go on.
            if (snd_pcm_recover(m_pcm, static_cast<int>(done), 1) < 0)
                break;
            continue;
        }
        m_written += done * frameBytes;
        taken += static_cast<size_t>(done) * frameBytes;
        frames -= static_cast<snd_pcm_uframes_t>(done);
    }
    return taken;
}

int64_t AlsaSink::PlayedBytes() {
    if (m_pcm == nullptr)
        return 0;
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_delay(m_pcm, &delay) < 0)
        delay = 0;
    const int64_t queued =
        static_cast<int64_t>(std::max<snd_pcm_sframes_t>(delay, 0)) * m_format.BytesPerFrame();
    return std::max<int64_t>(0, m_written - queued);
}

void AlsaSink::Close() {
    if (m_pcm == nullptr)
        return;
    snd_pcm_drop(m_pcm);
    snd_pcm_close(m_pcm);
    m_pcm = nullptr;
}

}  // namespace qx::audio
