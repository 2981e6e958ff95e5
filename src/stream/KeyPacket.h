#pragma once

#include <cstdint>

namespace qx {

// True when the bytes, read as one packet starting at their first byte, carry a key
// picture: an H.264 access unit led by an SPS (or type 15), an H.265 one led by a
// VPS, after at most one leading SEI. Never reads past length.
bool IsKeyPacket(const unsigned char* packet, int64_t length);

}  // namespace qx
