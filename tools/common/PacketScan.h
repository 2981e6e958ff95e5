#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The camera packet stream as the host tools read it: eight 'A's, a 72-byte header
// (kind at byte 24, pts in microseconds at 48, payload length at 64), the payload,
// and a four-byte trailer.
namespace qxtools {

constexpr int kKindH264 = 0;
constexpr int kKindALaw = 1;
constexpr int kKindPcm8 = 2;
constexpr int kKindMuLaw = 3;
constexpr int kKindH265 = 10;
constexpr size_t kHeaderSize = 72;
constexpr size_t kTrailerSize = 4;

struct PacketSpan {
    size_t offset = 0;
    size_t size = 0;
    int kind = -1;
    int64_t pts = 0;
};

// The whole packets in data, in order; bytes that are no packet are skipped, and
// *skipped (when given) counts them.
std::vector<PacketSpan> ScanPackets(const uint8_t* data, size_t size, size_t* skipped = nullptr);

bool IsVideoKind(int kind);
// True for a video packet with a coded picture in it, not only parameter sets.
bool CarriesPicture(const uint8_t* packet, const PacketSpan& span);

}  // namespace qxtools
