#pragma once

#include <chrono>

#include "audio/AudioSink.h"

namespace qx::audio {

// Takes sound and throws it away, at the real rate: the played position follows the
// clock, so players and lip sync behave as with a sound card.
class SilentSink : public AudioSink {
  public:
    bool Open(const PcmFormat& format) override;
    size_t Write(const uint8_t* data, size_t size) override;
    int64_t PlayedBytes() override;
    void Close() override {}
    const char* Name() const override { return "silent"; }

    // When the first byte was heard.
    std::chrono::steady_clock::time_point started() const { return m_start; }

  protected:
    int64_t written() const { return m_written; }

  private:
    PcmFormat m_format;
    std::chrono::steady_clock::time_point m_start;
    int64_t m_written = 0;
};

}  // namespace qx::audio
