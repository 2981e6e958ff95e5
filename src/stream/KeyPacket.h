#pragma once

#include <cstdint>

namespace qx {

// True when the bytes, read as one packet starting at their first byte, start a key
// picture: a parameter set (H.264 SPS or subset SPS, H.265 VPS or SPS) comes before
// any slice, whatever delimiters and SEI lead. Never reads past length.
bool IsKeyPacket(const unsigned char* packet, int64_t length);

// True when a payload of packet kind knd holds something a decoder can start from
// after a seek: a parameter set before the first slice, or for H.264 an IDR slice,
// for H.265 a PPS or an IRAP picture. Never reads past size.
bool IsKeyPayload(const unsigned char* payload, int64_t size, int knd);

}  // namespace qx
