#include "audio/SilentSink.h"

#include <algorithm>

namespace qx::audio {

bool SilentSink::Open(const PcmFormat& format) {
    m_format = format;
    m_start = std::chrono::steady_clock::now();
    m_written = 0;
    return format.BytesPerSecond() > 0;
}

size_t SilentSink::Write(const uint8_t* data, size_t size) {
    m_written += static_cast<int64_t>(size);
    return size;
}

int64_t SilentSink::PlayedBytes() {
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - m_start);
    const int64_t frames = elapsed.count() * m_format.rate / 1000000;
    return std::min(m_written, frames * m_format.BytesPerFrame());
}

}  // namespace qx::audio
