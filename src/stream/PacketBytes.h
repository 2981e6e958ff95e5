#pragma once

#include <list>
#include <string>
#include <vector>

#include "stream/PacketFormat.h"

// Building, dumping and finding packets of the vendor stream.
namespace qx {

// Writes header, NAL bytes and the FF FF FF FF trailer into out, which must hold
// nalLen + 76 bytes. Returns the bytes written.
int PakcetNal(const unsigned char* nal, int nalLen, unsigned char* out, H264_PARAM param);
std::string GetH264Param(H264_PARAM param);

// Non-overlapping positions of the pattern; a match that ends at the last byte is
// reported only as the maxCount-th (-1: no limit).
std::vector<int> IndexOf(const unsigned char* data, int length, const unsigned char* pattern,
                         int patternLength, int maxCount);
int IndexOfNum(const unsigned char* data, int length, const unsigned char* pattern,
               int patternLength, int n);
bool StartWith(const unsigned char* data, int length, const unsigned char* pattern,
               int patternLength);
std::vector<int> FindPESIndex(const unsigned char* data, int length, const unsigned char* pattern,
                              int patternLength, int unused);
// The caller owns the data of every returned entry (delete[]).
std::list<PKG_DATA> ProcessPacket(const unsigned char* data, int length,
                                  std::vector<int> positions);

// Copies count bytes; overlapping ranges are allowed. A negative count or a null
// pointer with a positive count is refused (false).
bool FastMemcpy(void* dst, const void* src, int count);
// Bounds-checked copy: refuses (false, logs "FastMemcpy Err:" and the place code) a
// count that is negative or larger than the room left at dst.
bool FastMemcpy(void* dst, int64_t dstRoom, const void* src, int64_t count, int placeCode);

}  // namespace qx
