#include "audio/WavFileSink.h"

#include <cstdint>
#include <cstring>

namespace qx::audio {

namespace {

void Put32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void Put16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

constexpr int kHeaderBytes = 44;

}  // namespace

WavFileSink::WavFileSink(std::string path) : m_path(std::move(path)) {}

WavFileSink::~WavFileSink() {
    Close();
}

bool WavFileSink::Open(const PcmFormat& format) {
    Close();
    m_format = format;
    m_file = std::fopen(m_path.c_str(), "wb");
    if (m_file == nullptr)
        return false;
    WriteHeader();
    return SilentSink::Open(format);
}

size_t WavFileSink::Write(const uint8_t* data, size_t size) {
    if (m_file == nullptr)
        return 0;
    return SilentSink::Write(data, std::fwrite(data, 1, size, m_file));
}

void WavFileSink::Close() {
    if (m_file == nullptr)
        return;
    // The sizes are known only now.
    WriteHeader();
    std::fclose(m_file);
    m_file = nullptr;
}

void WavFileSink::WriteHeader() {
    const auto data = static_cast<uint32_t>(written());
    uint8_t header[kHeaderBytes];
    std::memcpy(header, "RIFF", 4);
    Put32(header + 4, 36 + data);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    Put32(header + 16, 16);
    Put16(header + 20, 1);
    Put16(header + 22, static_cast<uint16_t>(m_format.channels));
    Put32(header + 24, static_cast<uint32_t>(m_format.rate));
    Put32(header + 28, static_cast<uint32_t>(m_format.BytesPerSecond()));
    Put16(header + 32, static_cast<uint16_t>(m_format.BytesPerFrame()));
    Put16(header + 34, static_cast<uint16_t>(m_format.bits));
    std::memcpy(header + 36, "data", 4);
    Put32(header + 40, data);
    std::fseek(m_file, 0, SEEK_SET);
    std::fwrite(header, 1, sizeof header, m_file);
    std::fseek(m_file, 0, SEEK_END);
}

}  // namespace qx::audio
