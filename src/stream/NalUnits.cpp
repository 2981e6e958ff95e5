#include "stream/NalUnits.h"

#include <cstring>

#include "stream/NalTypes.h"
#include "stream/PacketFormat.h"

namespace qx {

namespace {

// The offset of the next 00 00 01 at or after from, or -1.
int64_t NextStartCode(const unsigned char* data, int64_t size, int64_t from) {
    for (int64_t i = from; i + 2 < size;) {
        const void* zero = std::memchr(data + i, 0, static_cast<size_t>(size - i - 2));
        if (zero == nullptr)
            return -1;
        i = static_cast<const unsigned char*>(zero) - data;
        if (data[i + 1] == 0 && data[i + 2] == 1)
            return i;
        ++i;
    }
    return -1;
}

bool IsSlice(int type, bool h264) {
    return h264 ? (type >= 1 && type <= 5) || type == kH264SliceExtension || type == 21
                : type >= 0 && type <= 31;
}

bool IsDelimiterOrSei(int type, bool h264) {
    return h264 ? type == kH264Aud || type == kH264Sei : type == 35 || type == 39 || type == 40;
}

}  // namespace

bool AccessUnit::Contains(int type) const {
    for (int i = 0; i < count; ++i) {
        if (units[i].type == type)
            return true;
    }
    return false;
}

AccessUnit DescribeAccessUnit(const unsigned char* payload, int64_t size, bool h264) {
    AccessUnit au;
    if (payload == nullptr || size < 4)
        return au;
    int64_t at = NextStartCode(payload, size, 0);
    while (at >= 0 && au.count < AccessUnit::kMaxUnits) {
        const int64_t header = at + 3;
        const int64_t next = NextStartCode(payload, size, header);
        // A four-byte start code's first zero belongs to the unit that follows.
        int64_t end = next < 0 ? size : next;
        if (next > 0 && payload[next - 1] == 0)
            --end;
        const int64_t begin = at > 0 && payload[at - 1] == 0 ? at - 1 : at;
        if (header < size) {
            NalUnit& unit = au.units[au.count++];
            unit.type = h264 ? payload[header] & 0x1F : (payload[header] >> 1) & 0x3F;
            unit.start = payload + begin;
            unit.size = end - begin;
        }
        at = next;
    }
    for (int i = 0; i < au.count; ++i) {
        const NalUnit& unit = au.units[i];
        const bool sps =
            h264 ? unit.type == kH264Sps || unit.type == kH264SubsetSps : unit.type == kHevcSps;
        if (au.leadType < 0 && !IsDelimiterOrSei(unit.type, h264))
            au.leadType = unit.type;
        if (sps && au.spsIndex < 0)
            au.spsIndex = i;
        if (!h264 && unit.type == kHevcVps && au.vpsIndex < 0)
            au.vpsIndex = i;
        if (IsSlice(unit.type, h264) && au.sliceType < 0)
            au.sliceType = unit.type;
        if ((sps || (!h264 && unit.type == kHevcVps)) && au.sliceType < 0)
            au.parameterSetFirst = true;
    }
    return au;
}

bool CarriesPicture(const unsigned char* packet, int64_t length) {
    if (packet == nullptr || length < kPacketOverhead)
        return false;
    const H264_PARAM header = ReadHeader(packet);
    if (header.knd != kKindH264 && header.knd != kKindH265)
        return false;
    if (header.nal_len < 0 || header.nal_len > length - kPacketOverhead)
        return false;
    return DescribeAccessUnit(packet + kHeaderSize, header.nal_len, header.knd == kKindH264)
               .sliceType >= 0;
}

}  // namespace qx
