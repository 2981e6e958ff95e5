#include "streamkit/AudioSource.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "stream/PacketFormat.h"
#include "streamkit/G711.h"

namespace qx::kit {

namespace {
constexpr double kPi = 3.14159265358979323846;
}  // namespace

int16_t AudioSource::Sample(int64_t n) {
    const int64_t inSecond = n % kAudioRate;
    if (inSecond < kClickSamples) {
        return static_cast<int16_t>((inSecond / 2) % 2 ? -kClickAmplitude : kClickAmplitude);
    }
    // The tone repeats exactly every 8000 / gcd(440, 8000) samples; reducing the phase keeps
    // late samples as precise as early ones.
    const double phase = 2.0 * kPi * static_cast<double>((n * kToneHz) % kAudioRate) / kAudioRate;
    return static_cast<int16_t>(std::lround(kToneAmplitude * std::sin(phase)));
}

std::vector<int16_t> AudioSource::Samples(int64_t first, size_t count) {
    std::vector<int16_t> out(count);
    for (size_t i = 0; i < count; ++i) {
        out[i] = Sample(first + static_cast<int64_t>(i));
    }
    return out;
}

std::vector<uint8_t> AudioSource::Payload(int kind, int64_t first, size_t count) {
    const std::vector<int16_t> pcm = Samples(first, count);
    switch (kind) {
        case qx::kKindAudio1:
            return G711::EncodeALaw(pcm.data(), pcm.size());
        case qx::kKindAudio3:
            return G711::EncodeMuLaw(pcm.data(), pcm.size());
        case qx::kKindPcm8: {
            std::vector<uint8_t> out(count);
            for (size_t i = 0; i < count; ++i) {
                out[i] = static_cast<uint8_t>(static_cast<int8_t>(pcm[i] >> 8));
            }
            return out;
        }
        default:
            throw std::invalid_argument("audio kind " + std::to_string(kind) + " has no payload");
    }
}

}  // namespace qx::kit
