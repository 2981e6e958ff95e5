#pragma once

#include <cstdio>
#include <string>

#include "audio/SilentSink.h"

namespace qx::audio {

// Plays at the real rate like the silent sink and keeps every byte in a WAV file:
// sample n of the file was heard n / rate seconds after started().
class WavFileSink : public SilentSink {
  public:
    explicit WavFileSink(std::string path);
    ~WavFileSink() override;

    bool Open(const PcmFormat& format) override;
    size_t Write(const uint8_t* data, size_t size) override;
    void Close() override;
    const char* Name() const override { return "wav"; }

  private:
    void WriteHeader();

    std::string m_path;
    std::FILE* m_file = nullptr;
    PcmFormat m_format;
};

}  // namespace qx::audio
