#pragma once

#include "stream/DesCipher.h"

namespace qx {

constexpr int kSeiInfoSize = 1024;
constexpr int kSeiWorkSize = 512;

// The watermark record a camera puts in a vendor SEI at the front of a video payload
// (the caller has seen that the first unit is an SEI): its length from bytes 27/28
// (26/27 behind a three-byte start code), markers 5 and 1 at bytes 29 and 30, the
// ciphertext from byte 31 on. Whole 8-byte blocks are deciphered into seiInfo, a
// last partial block is copied as it is, and *seiLength is the record's length.
// False, with nothing written, when the markers are missing or the record does not
// fit the payload; a record longer than the 512-byte work area is cut to it.
bool DecipherWatermarkSei(const DesCipher& des, const unsigned char* payload, int length,
                          unsigned char seiInfo[kSeiInfoSize], int* seiLength);

}  // namespace qx
