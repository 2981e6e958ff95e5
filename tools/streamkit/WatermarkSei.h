#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "decode/FrameDescription.h"

namespace qx::kit {

constexpr size_t kWatermarkRecordSize = 92;
// Longest text: the record holds 50 bytes for it, the last one its terminating zero.
constexpr size_t kWatermarkTextMax = 49;

// The plain record: the ten words of the key picture's description at bytes 0..39,
// the text, zero-terminated and zero-filled, at 40..89, two spare bytes of which the
// first holds a non-zero filler (see BuildWatermarkSei). Throws std::invalid_argument
// for a text longer than 49 bytes.
std::array<uint8_t, kWatermarkRecordSize> MakeWatermarkRecord(
    const qx::FrameDescription& description, const std::string& text);

// The vendor SEI unit (4-byte start code, 124 bytes) that carries the record enciphered
// with the built-in key: user-data SEI, a fixed identifier, the length bytes at 27/28,
// the markers 5 and 1, the ciphertext from byte 31, the trailing bit. No start code or
// escape pattern may appear in it, so two record bytes are not taken as given: the first
// spare byte (90), which travels in plain with bytes 88..91, always holds a non-zero
// filler, and byte 87, the last one enciphered, is varied when the text ends before it.
// Throws std::runtime_error when no variant is clean (the text is 47..49 bytes long, or
// the pattern lies in an earlier block).
std::vector<uint8_t> BuildWatermarkSei(const uint8_t record[kWatermarkRecordSize]);

}  // namespace qx::kit
