#pragma once

#include <cstdint>

// The voice engine the audio decoder drives, in place of the closed one cameras ship
// with: G.711 for codec types 1 (A-law) and 2 (µ-law), 8-byte state. A frame is the
// word 0x0100, the payload length in 16-bit words, then the payload; it decodes to
// one 16-bit sample per payload byte.
namespace qx {

constexpr int kVoiceStateSmall = 8;
constexpr int kVoiceStateLarge = 128;
constexpr uint16_t kVoiceFrameTag = 0x0100;

int16_t ALawToPcm(uint8_t code);
int16_t MuLawToPcm(uint8_t code);

}  // namespace qx

// 0 on success. Types other than 1 and 2 are refused (-1).
int VOICE_DecReset(void* state, int16_t type);
// outputLength: on entry the samples output can hold, on return the samples written.
// 0 on success; -1 for a state not reset, a frame without its tag, or a payload
// longer than the output.
int VOICE_DecodeFrame(void* state, const int16_t* input, int16_t* output, int16_t* outputLength);
