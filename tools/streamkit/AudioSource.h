#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qx::kit {

constexpr int kAudioRate = 8000;
constexpr int kToneHz = 440;
constexpr int kToneAmplitude = 6000;
// The click that marks every whole second: 5 ms of a loud 2 kHz square wave.
constexpr int kClickSamples = 40;
constexpr int kClickAmplitude = 26000;

// The test sound: a steady tone, replaced by the click during the first kClickSamples
// samples of every second. Sample n is at n / 8000 s of stream time.
class AudioSource {
  public:
    static int16_t Sample(int64_t n);
    static std::vector<int16_t> Samples(int64_t first, size_t count);
    static bool InClick(int64_t n) { return n % kAudioRate < kClickSamples; }

    // The payload of an audio packet of the given kind (1 A-law, 2 signed 8-bit PCM,
    // 3 mu-law) holding count samples from sample first on.
    static std::vector<uint8_t> Payload(int kind, int64_t first, size_t count);
};

}  // namespace qx::kit
