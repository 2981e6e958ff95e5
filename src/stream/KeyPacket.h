#pragma once

#include <cstdint>

namespace qx {

// True when the bytes, read as one packet starting at their first byte, carry a key
// picture: an H.264 access unit led by an SPS (or type 15), an H.265 one led by a
// VPS, after at most one leading SEI. Never reads past length.
bool IsKeyPacket(const unsigned char* packet, int64_t length);

// True when a payload of packet kind knd opens with something a decoder can start
// from after a seek: for H.264 an SPS or an IDR slice, after at most one leading SEI;
// for H.265 a parameter set or an IRAP picture. Never reads past size.
bool IsKeyPayload(const unsigned char* payload, int64_t size, int knd);

}  // namespace qx
