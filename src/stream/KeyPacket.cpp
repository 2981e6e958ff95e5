#include "stream/KeyPacket.h"

#include "stream/H264UtilsA.h"
#include "stream/PacketFormat.h"

namespace qx {

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
    int type = h264 ? H264UtilsA::Get_NAL_Type(payload, size)
                    : H264UtilsA::get_hevc_nal_type(payload, size);
    if (type == 6) {
        // One leading SEI is skipped by the length its header bytes give.
        if (size < 3)
            return false;
        int64_t seiLength;
        if (payload[2] == 1) {
            if (size < 28)
                return false;
            seiLength = payload[26] * 255 + 28 + payload[27];
        } else {
            if (size < 29)
                return false;
            seiLength = payload[27] * 255 + 29 + payload[28];
        }
        if (seiLength >= size)
            return false;
        type = H264UtilsA::Get_NAL_Type(payload + seiLength, size - seiLength);
    }
    return h264 ? (type == 7 || type == 15) : type == 32;
}

}  // namespace qx
