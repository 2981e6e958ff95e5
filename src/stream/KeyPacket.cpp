#include "stream/KeyPacket.h"

#include "stream/H264UtilsA.h"
#include "stream/PacketFormat.h"

namespace qx {

namespace {

// The NAL type that leads the payload, one leading SEI skipped by the length its
// header bytes give; -1 when the bytes run out.
int LeadingNalType(const unsigned char* payload, int64_t size, bool h264) {
    const int type = h264 ? H264UtilsA::Get_NAL_Type(payload, size)
                          : H264UtilsA::get_hevc_nal_type(payload, size);
    if (type != 6)
        return type;
    if (size < 3)
        return -1;
    int64_t seiLength;
    if (payload[2] == 1) {
        if (size < 28)
            return -1;
        seiLength = payload[26] * 255 + 28 + payload[27];
    } else {
        if (size < 29)
            return -1;
        seiLength = payload[27] * 255 + 29 + payload[28];
    }
    if (seiLength >= size)
        return -1;
    return H264UtilsA::Get_NAL_Type(payload + seiLength, size - seiLength);
}

}  // namespace

bool IsKeyPayload(const unsigned char* payload, int64_t size, int knd) {
    if (payload == nullptr || size <= 0)
        return false;
    if (knd == kKindH264) {
        const int type = LeadingNalType(payload, size, true);
        return type == 7 || type == 5;
    }
    if (knd == kKindH265) {
        const int type = H264UtilsA::get_hevc_nal_type(payload, size);
        // VPS, SPS, PPS, or BLA / IDR / CRA.
        return (type >= 32 && type <= 34) || (type >= 16 && type <= 21);
    }
    return false;
}

bool IsKeyPacket(const unsigned char* packet, int64_t length) {
    if (packet == nullptr || length < kHeaderSize)
        return false;
    const H264_PARAM header = ReadHeader(packet);
    if (header.knd != kKindH264 && header.knd != kKindH265)
        return false;
    const unsigned char* payload = packet + kHeaderSize;
    // The payload as far as both the header and the bytes at hand allow.
    int64_t size = length - kHeaderSize;
    if (header.nal_len >= 0 && header.nal_len < size)
        size = header.nal_len;

    const bool h264 = header.knd == kKindH264;
    const int type = LeadingNalType(payload, size, h264);
    return h264 ? (type == 7 || type == 15) : type == 32;
}

}  // namespace qx
