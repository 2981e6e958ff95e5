#include "streamkit/PacketIo.h"

#include <cstring>

namespace qx::kit {

bool IsVideoKind(int knd) {
    return knd == qx::kKindH264 || knd == qx::kKindH265;
}

bool IsAudioKind(int knd) {
    return knd == qx::kKindAudio1 || knd == qx::kKindPcm8 || knd == qx::kKindAudio3;
}

void AppendPacket(const Packet& packet, std::vector<uint8_t>& out) {
    const size_t start = out.size();
    out.resize(start + qx::kHeaderSize + packet.payload.size() + qx::kTrailerSize);
    std::memcpy(out.data() + start, &packet.header, qx::kHeaderSize);
    if (!packet.payload.empty()) {
        std::memcpy(out.data() + start + qx::kHeaderSize, packet.payload.data(),
                    packet.payload.size());
    }
    std::memset(out.data() + out.size() - qx::kTrailerSize, 0xFF, qx::kTrailerSize);
}

std::vector<uint8_t> Serialize(const std::vector<Packet>& packets) {
    size_t total = 0;
    for (const Packet& p : packets) {
        total += p.payload.size() + qx::kPacketOverhead;
    }
    std::vector<uint8_t> out;
    out.reserve(total);
    for (const Packet& p : packets) {
        AppendPacket(p, out);
    }
    return out;
}

H264_PARAM HeaderAt(const uint8_t* bytes) {
    H264_PARAM header;
    std::memcpy(&header, bytes, sizeof header);
    return header;
}

bool ContainsMarker(const uint8_t* bytes, size_t size) {
    size_t run = 0;
    for (size_t i = 0; i < size; ++i) {
        run = bytes[i] == 0x41 ? run + 1 : 0;
        if (run == qx::kMarkerSize) {
            return true;
        }
    }
    return false;
}

namespace {

size_t FindMarker(const uint8_t* data, size_t size, size_t from) {
    size_t run = 0;
    for (size_t i = from; i < size; ++i) {
        run = data[i] == 0x41 ? run + 1 : 0;
        if (run == qx::kMarkerSize) {
            return i + 1 - qx::kMarkerSize;
        }
    }
    return size;
}

}  // namespace

std::vector<PacketSpan> ScanPackets(const uint8_t* data, size_t size) {
    std::vector<PacketSpan> spans;
    size_t pos = 0;
    while ((pos = FindMarker(data, size, pos)) < size) {
        if (size - pos < static_cast<size_t>(qx::kPacketOverhead)) {
            break;
        }
        const H264_PARAM header = HeaderAt(data + pos);
        const size_t rest = size - pos - qx::kPacketOverhead;
        if (header.nal_len < 0 || static_cast<size_t>(header.nal_len) > rest) {
            ++pos;
            continue;
        }
        PacketSpan span;
        span.offset = pos;
        span.header = header;
        const uint8_t* trailer = data + pos + qx::kHeaderSize + header.nal_len;
        span.trailerOk =
            trailer[0] == 0xFF && trailer[1] == 0xFF && trailer[2] == 0xFF && trailer[3] == 0xFF;
        spans.push_back(span);
        pos += qx::kPacketOverhead + static_cast<size_t>(header.nal_len);
    }
    return spans;
}

std::vector<Packet> ReadPackets(const uint8_t* data, size_t size) {
    std::vector<Packet> packets;
    for (const PacketSpan& span : ScanPackets(data, size)) {
        Packet p;
        p.header = span.header;
        const uint8_t* payload = data + span.offset + qx::kHeaderSize;
        p.payload.assign(payload, payload + span.header.nal_len);
        packets.push_back(std::move(p));
    }
    return packets;
}

std::vector<Packet> ReadPackets(const std::vector<uint8_t>& bytes) {
    return ReadPackets(bytes.data(), bytes.size());
}

std::vector<uint8_t> ElementaryStream(const std::vector<Packet>& packets) {
    std::vector<uint8_t> es;
    for (const Packet& p : packets) {
        if (IsVideoKind(p.header.knd)) {
            es.insert(es.end(), p.payload.begin(), p.payload.end());
        }
    }
    return es;
}

}  // namespace qx::kit
