#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "streamkit/StreamOptions.h"

namespace qx::kit {

namespace h264 {
constexpr int kSlice = 1;
constexpr int kIdr = 5;
constexpr int kSei = 6;
constexpr int kSps = 7;
constexpr int kPps = 8;
constexpr int kAud = 9;
}  // namespace h264

namespace h265 {
constexpr int kIdrWRadl = 19;
constexpr int kIdrNLp = 20;
constexpr int kCra = 21;
constexpr int kVps = 32;
constexpr int kSps = 33;
constexpr int kPps = 34;
constexpr int kAud = 35;
constexpr int kPrefixSei = 39;
constexpr int kSuffixSei = 40;
}  // namespace h265

// One NAL unit inside an Annex-B buffer: offset and size of the unit itself (its header byte
// onwards), start code and trailing zero bytes excluded.
struct NalUnit {
    size_t offset = 0;
    size_t size = 0;
    int type = 0;
};

int NalType(Codec codec, uint8_t firstByte);

// The NAL units of an Annex-B buffer (3- and 4-byte start codes).
std::vector<NalUnit> SplitNals(Codec codec, const uint8_t* data, size_t size);
std::vector<NalUnit> SplitNals(Codec codec, const std::vector<uint8_t>& data);

// Appends 00 00 00 01 and the unit.
void AppendNal(const uint8_t* nal, size_t size, std::vector<uint8_t>& out);

// The NAL types of an access unit, in order.
std::vector<int> NalTypes(Codec codec, const std::vector<uint8_t>& accessUnit);

// An access unit that starts a new decodable sequence: an IDR picture, with or without its
// parameter sets in front.
bool IsKeyAccessUnit(Codec codec, const std::vector<uint8_t>& accessUnit);

// Parameter-set and SEI units, which carry no picture.
bool IsParameterSet(Codec codec, int type);
bool IsSei(Codec codec, int type);

}  // namespace qx::kit
