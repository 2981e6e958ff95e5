#include "PacketScan.h"

#include <cstring>

namespace qxtools {

namespace {

constexpr size_t kKindOffset = 24;
constexpr size_t kPtsOffset = 48;
constexpr size_t kLengthOffset = 64;

template <typename T>
T Field(const uint8_t* header, size_t offset) {
    T value;
    std::memcpy(&value, header + offset, sizeof value);
    return value;
}

bool IsMarker(const uint8_t* at) {
    return std::memcmp(at, "AAAAAAAA", 8) == 0;
}

}  // namespace

std::vector<PacketSpan> ScanPackets(const uint8_t* data, size_t size, size_t* skipped) {
    std::vector<PacketSpan> spans;
    size_t at = 0;
    size_t lost = 0;
    while (at + kHeaderSize <= size) {
        if (!IsMarker(data + at)) {
            ++at;
            ++lost;
            continue;
        }
        const int32_t length = Field<int32_t>(data + at, kLengthOffset);
        const size_t whole = kHeaderSize + static_cast<size_t>(length) + kTrailerSize;
        if (length < 0 || whole > size - at) {
            ++at;
            ++lost;
            continue;
        }
        spans.push_back({at, whole, Field<int32_t>(data + at, kKindOffset),
                         Field<int64_t>(data + at, kPtsOffset)});
        at += whole;
    }
    if (skipped != nullptr)
        *skipped = lost + (size - at);
    return spans;
}

bool IsVideoKind(int kind) {
    return kind == kKindH264 || kind == kKindH265;
}

bool CarriesPicture(const uint8_t* packet, const PacketSpan& span) {
    if (!IsVideoKind(span.kind))
        return false;
    const uint8_t* payload = packet + kHeaderSize;
    const size_t length = span.size - kHeaderSize - kTrailerSize;
    for (size_t i = 0; i + 3 < length; ++i) {
        if (payload[i] != 0 || payload[i + 1] != 0 || payload[i + 2] != 1)
            continue;
        const uint8_t nal = payload[i + 3];
        if (span.kind == kKindH265 ? ((nal >> 1) & 0x3f) < 32
                                   : ((nal & 0x1f) >= 1 && (nal & 0x1f) <= 5))
            return true;
    }
    return false;
}

}  // namespace qxtools
