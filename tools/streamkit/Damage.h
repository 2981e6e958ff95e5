#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "streamkit/PacketIo.h"

namespace qx::kit {

// Faults a real camera link produces, applied on purpose so that readers can be tested
// against them. Everything is off by default; "every N" counts from 1, so N = 3 hits the
// 3rd, 6th, 9th ... item.
struct Damage {
    // Video packets whose idx jumps ahead by 1 + idxGapSize instead of 1.
    int idxGapEvery = 0;
    int idxGapSize = 1;

    // Packets (all kinds, stream order) whose header claims nal_len + badLenDelta bytes while
    // the real payload is written unchanged.
    int badLenEvery = 0;
    int badLenDelta = 17;

    // Junk of junkBytes bytes after every junkEveryth packet and after each packet whose
    // 0-based position is listed in junkAfter; leadingJunk bytes before the first packet.
    int junkEvery = 0;
    std::vector<size_t> junkAfter;
    size_t junkBytes = 37;
    size_t leadingJunk = 0;

    // Packet cutPacket (0-based position, -1 = none) is written with only its first
    // cutPacketBytes bytes; the next packet follows directly.
    int64_t cutPacket = -1;
    size_t cutPacketBytes = 0;

    // The whole byte stream ends after truncateAt bytes (-1 = not cut).
    int64_t truncateAt = -1;

    // Seeds the junk contents.
    uint32_t seed = 1;
};

// Serialises the packets like Serialize(packets) and then applies the byte-level damage:
// junk, a cut packet and truncation. Header damage (idx gaps, wrong nal_len) belongs to the
// packets themselves; MakePackets applies it.
std::vector<uint8_t> Serialize(const std::vector<Packet>& packets, const Damage& damage);

// n bytes of junk that no marker scan can mistake for a packet start: it never holds eight
// consecutive 0x41 and never ends in 0x41 (so it cannot extend the marker that follows it).
// It does contain shorter 0x41 runs, because half-markers are what trips careless readers.
std::vector<uint8_t> MakeJunk(size_t n, std::mt19937& rng);

// Splits bytes into consecutive chunks of minSize..maxSize bytes (the last one may be
// shorter), the way a socket or file reader hands data over. Same seed, same chunks.
std::vector<std::vector<uint8_t>> SplitChunks(const std::vector<uint8_t>& bytes, size_t minSize,
                                              size_t maxSize, uint32_t seed);

// Fixed-size chunks.
std::vector<std::vector<uint8_t>> SplitChunks(const std::vector<uint8_t>& bytes, size_t size);

}  // namespace qx::kit
