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
// the text, zero-terminated and zero-filled, at 40..89, two spare bytes.
std::array<uint8_t, kWatermarkRecordSize> MakeWatermarkRecord(
    const qx::FrameDescription& description, const std::string& text);

// The vendor SEI unit (4-byte start code) that carries the record enciphered with the
// built-in key: user-data SEI, a fixed identifier, the length bytes at 27/28, the
// markers 5 and 1, the ciphertext from byte 31, the trailing bit. The record's bytes
// behind the text's terminating zero are filled so that no start code or escape
// pattern appears in the unit.
std::vector<uint8_t> BuildWatermarkSei(const uint8_t record[kWatermarkRecordSize]);

}  // namespace qx::kit
