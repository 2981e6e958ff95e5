#include "stream/KeyPacket.h"

#include "stream/NalTypes.h"
#include "stream/NalUnits.h"
#include "stream/PacketFormat.h"

namespace qx {

bool IsKeyPayload(const unsigned char* payload, int64_t size, int knd) {
    if (payload == nullptr || size <= 0 || (knd != kKindH264 && knd != kKindH265))
        return false;
    const bool h264 = knd == kKindH264;
    const AccessUnit au = DescribeAccessUnit(payload, size, h264);
    if (au.parameterSetFirst)
        return true;
    if (h264)
        return au.sliceType == kH264Idr;
    // A PPS, or a BLA / IDR / CRA picture.
    return au.Contains(kHevcPps) || (au.sliceType >= 16 && au.sliceType <= 21);
}

bool IsKeyPacket(const unsigned char* packet, int64_t length) {
    if (packet == nullptr || length < kHeaderSize)
        return false;
    const H264_PARAM header = ReadHeader(packet);
    if (header.knd != kKindH264 && header.knd != kKindH265)
        return false;
    // The payload as far as both the header and the bytes at hand allow.
    int64_t size = length - kHeaderSize;
    if (header.nal_len >= 0 && header.nal_len < size)
        size = header.nal_len;
    return DescribeAccessUnit(packet + kHeaderSize, size, header.knd == kKindH264)
        .parameterSetFirst;
}

}  // namespace qx
