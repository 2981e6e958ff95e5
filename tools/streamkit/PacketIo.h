#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "stream/PacketFormat.h"

namespace qx::kit {

// One packet as the writer produces it. header.nal_len normally equals payload.size(); a
// damaged packet may claim another length while the real payload is kept.
struct Packet {
    H264_PARAM header;
    std::vector<uint8_t> payload;
};

// Where a marker scan found a packet in a byte stream.
struct PacketSpan {
    size_t offset = 0;
    H264_PARAM header;
    // The four bytes behind the payload are FF FF FF FF.
    bool trailerOk = false;
};

bool IsVideoKind(int knd);
bool IsAudioKind(int knd);

// Header, payload and trailer of every packet, back to back.
std::vector<uint8_t> Serialize(const std::vector<Packet>& packets);

// Appends one packet (nal_len + 76 bytes when undamaged) to out.
void AppendPacket(const Packet& packet, std::vector<uint8_t>& out);

// Copies a header out of bytes that need not be aligned.
H264_PARAM HeaderAt(const uint8_t* bytes);

// True if bytes hold eight consecutive 0x41 anywhere.
bool ContainsMarker(const uint8_t* bytes, size_t size);

// Finds packets the way a simple reader does: look for the marker, trust nal_len, continue
// behind the packet. A marker whose nal_len is negative or runs past the end is skipped by
// one byte and the scan goes on, so a packet cut at the end of the data is not reported.
std::vector<PacketSpan> ScanPackets(const uint8_t* data, size_t size);

// The packets found by ScanPackets, with their payloads copied out.
std::vector<Packet> ReadPackets(const uint8_t* data, size_t size);
std::vector<Packet> ReadPackets(const std::vector<uint8_t>& bytes);

// The video payloads in packet order: the Annex-B elementary stream that a decoder can take
// directly (the H.265 parameter-set packets included).
std::vector<uint8_t> ElementaryStream(const std::vector<Packet>& packets);

}  // namespace qx::kit
