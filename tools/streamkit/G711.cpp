#include "streamkit/G711.h"

namespace qx::kit {

namespace {

// Upper ends of the eight segments, in the coder's own magnitude scale.
constexpr int kALawSegmentEnd[8] = {0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};
constexpr int kMuLawSegmentEnd[8] = {0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF};
// mu-law adds this bias (in its 14-bit scale) so that the segments become powers of two.
constexpr int kMuLawBias = 0x84;
constexpr int kMuLawClip = 8159;

int Segment(int magnitude, const int (&ends)[8]) {
    int seg = 0;
    while (seg < 8 && magnitude > ends[seg]) {
        ++seg;
    }
    return seg;
}

}  // namespace

uint8_t G711::EncodeALaw(int16_t pcm) {
    int v = pcm >> 3;
    uint8_t mask = 0xD5;
    if (v < 0) {
        mask = 0x55;
        v = -v - 1;
    }
    const int seg = Segment(v, kALawSegmentEnd);
    if (seg >= 8) {
        return static_cast<uint8_t>(0x7F ^ mask);
    }
    const int mantissa = seg < 2 ? (v >> 1) & 0x0F : (v >> seg) & 0x0F;
    return static_cast<uint8_t>(((seg << 4) | mantissa) ^ mask);
}

int16_t G711::DecodeALaw(uint8_t code) {
    code ^= 0x55;
    int t = (code & 0x0F) << 4;
    const int seg = (code & 0x70) >> 4;
    if (seg == 0) {
        t += 8;
    } else {
        t = (t + 0x108) << (seg - 1);
    }
    return static_cast<int16_t>((code & 0x80) ? t : -t);
}

uint8_t G711::EncodeMuLaw(int16_t pcm) {
    // Negative samples take the one's complement, as the ITU reference coder does, so that
    // -1 .. -4 code as negative zero rather than as the first negative step.
    uint8_t mask = 0xFF;
    int v = pcm >> 2;
    if (pcm < 0) {
        mask = 0x7F;
        v = ~pcm >> 2;
    }
    if (v > kMuLawClip) {
        v = kMuLawClip;
    }
    v += kMuLawBias >> 2;
    const int seg = Segment(v, kMuLawSegmentEnd);
    if (seg >= 8) {
        return static_cast<uint8_t>(0x7F ^ mask);
    }
    return static_cast<uint8_t>(((seg << 4) | ((v >> (seg + 1)) & 0x0F)) ^ mask);
}

int16_t G711::DecodeMuLaw(uint8_t code) {
    code = static_cast<uint8_t>(~code);
    int t = ((code & 0x0F) << 3) + kMuLawBias;
    t <<= (code & 0x70) >> 4;
    return static_cast<int16_t>((code & 0x80) ? kMuLawBias - t : t - kMuLawBias);
}

std::vector<uint8_t> G711::EncodeALaw(const int16_t* pcm, size_t count) {
    std::vector<uint8_t> out(count);
    for (size_t i = 0; i < count; ++i) {
        out[i] = EncodeALaw(pcm[i]);
    }
    return out;
}

std::vector<int16_t> G711::DecodeALaw(const uint8_t* codes, size_t count) {
    std::vector<int16_t> out(count);
    for (size_t i = 0; i < count; ++i) {
        out[i] = DecodeALaw(codes[i]);
    }
    return out;
}

std::vector<uint8_t> G711::EncodeMuLaw(const int16_t* pcm, size_t count) {
    std::vector<uint8_t> out(count);
    for (size_t i = 0; i < count; ++i) {
        out[i] = EncodeMuLaw(pcm[i]);
    }
    return out;
}

std::vector<int16_t> G711::DecodeMuLaw(const uint8_t* codes, size_t count) {
    std::vector<int16_t> out(count);
    for (size_t i = 0; i < count; ++i) {
        out[i] = DecodeMuLaw(codes[i]);
    }
    return out;
}

}  // namespace qx::kit
