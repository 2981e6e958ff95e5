#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qx::kit {

// ITU-T G.711 companding of 16-bit linear PCM: 13-bit A-law and 14-bit mu-law segment
// coding, with the usual even-bit (A-law) and full (mu-law) inversion of the code byte.
class G711 {
  public:
    static uint8_t EncodeALaw(int16_t pcm);
    static int16_t DecodeALaw(uint8_t code);
    static uint8_t EncodeMuLaw(int16_t pcm);
    static int16_t DecodeMuLaw(uint8_t code);

    static std::vector<uint8_t> EncodeALaw(const int16_t* pcm, size_t count);
    static std::vector<int16_t> DecodeALaw(const uint8_t* codes, size_t count);
    static std::vector<uint8_t> EncodeMuLaw(const int16_t* pcm, size_t count);
    static std::vector<int16_t> DecodeMuLaw(const uint8_t* codes, size_t count);
};

}  // namespace qx::kit
