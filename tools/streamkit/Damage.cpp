#include "streamkit/Damage.h"

#include <algorithm>
#include <stdexcept>

namespace qx::kit {

namespace {

// Uniform in [lo, hi]; spelled out so that the same seed gives the same bytes with any
// standard library.
size_t Uniform(std::mt19937& rng, size_t lo, size_t hi) {
    return lo + static_cast<size_t>(rng() % (hi - lo + 1));
}

}  // namespace

std::vector<uint8_t> MakeJunk(size_t n, std::mt19937& rng) {
    std::vector<uint8_t> junk;
    junk.reserve(n);
    while (junk.size() < n) {
        if (rng() % 16 == 0) {
            const size_t run = std::min(Uniform(rng, 1, 7), n - junk.size());
            junk.insert(junk.end(), run, 0x41);
            if (junk.size() < n) {
                junk.push_back(static_cast<uint8_t>(0x42 + rng() % 0x80));
            }
        } else {
            junk.push_back(static_cast<uint8_t>(rng()));
        }
    }
    // A run of 0x41 may have grown past seven across the boundary between a planted run and
    // a random byte; break every run at seven.
    size_t run = 0;
    for (uint8_t& b : junk) {
        run = b == 0x41 ? run + 1 : 0;
        if (run == 8) {
            b = 0x42;
            run = 0;
        }
    }
    if (!junk.empty() && junk.back() == 0x41) {
        junk.back() = 0x40;
    }
    return junk;
}

std::vector<uint8_t> Serialize(const std::vector<Packet>& packets, const Damage& damage) {
    std::mt19937 rng(damage.seed);
    std::vector<uint8_t> out = MakeJunk(damage.leadingJunk, rng);
    std::vector<uint8_t> one;
    for (size_t i = 0; i < packets.size(); ++i) {
        one.clear();
        AppendPacket(packets[i], one);
        if (damage.cutPacket >= 0 && static_cast<size_t>(damage.cutPacket) == i) {
            one.resize(std::min(one.size(), damage.cutPacketBytes));
        }
        out.insert(out.end(), one.begin(), one.end());
        const bool junkHere =
            (damage.junkEvery > 0 && (i + 1) % static_cast<size_t>(damage.junkEvery) == 0) ||
            std::find(damage.junkAfter.begin(), damage.junkAfter.end(), i) !=
                damage.junkAfter.end();
        if (junkHere) {
            const std::vector<uint8_t> junk = MakeJunk(damage.junkBytes, rng);
            out.insert(out.end(), junk.begin(), junk.end());
        }
    }
    if (damage.truncateAt >= 0 && static_cast<size_t>(damage.truncateAt) < out.size()) {
        out.resize(static_cast<size_t>(damage.truncateAt));
    }
    return out;
}

std::vector<std::vector<uint8_t>> SplitChunks(const std::vector<uint8_t>& bytes, size_t minSize,
                                              size_t maxSize, uint32_t seed) {
    if (minSize == 0 || maxSize < minSize) {
        throw std::invalid_argument("chunk sizes: need 0 < minSize <= maxSize");
    }
    std::mt19937 rng(seed);
    std::vector<std::vector<uint8_t>> chunks;
    size_t pos = 0;
    while (pos < bytes.size()) {
        const size_t n = std::min(Uniform(rng, minSize, maxSize), bytes.size() - pos);
        chunks.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                            bytes.begin() + static_cast<std::ptrdiff_t>(pos + n));
        pos += n;
    }
    return chunks;
}

std::vector<std::vector<uint8_t>> SplitChunks(const std::vector<uint8_t>& bytes, size_t size) {
    return SplitChunks(bytes, size, size, 0);
}

}  // namespace qx::kit
