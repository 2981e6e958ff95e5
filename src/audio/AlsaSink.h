#pragma once

#include <alsa/asoundlib.h>

#include "audio/AudioSink.h"

namespace qx::audio {

// The "default" ALSA device, which reaches PulseAudio or PipeWire where they run.
class AlsaSink : public AudioSink {
  public:
    ~AlsaSink() override;
    bool Open(const PcmFormat& format) override;
    size_t Write(const uint8_t* data, size_t size) override;
    int64_t PlayedBytes() override;
    void Close() override;
    const char* Name() const override { return "alsa"; }

  private:
    bool SetStartThreshold();

    snd_pcm_t* m_pcm = nullptr;
    PcmFormat m_format;
    int64_t m_written = 0;
};

}  // namespace qx::audio
