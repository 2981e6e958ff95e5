#pragma once

#include <cstddef>
#include <cstdint>

// The vendor packet: a 72-byte header, nal_len payload bytes and the trailer
// FF FF FF FF. All integers are little-endian on the wire; this layout is the wire
// layout on the little-endian machines the library runs on.
struct H264_PARAM {
    char magic[8] = {'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A'};
    int32_t ver = 1;
    int32_t rsv1 = 0;
    int64_t idx = 0;
    int32_t knd = 0;
    int32_t fbs = 0;
    int64_t sec = 0;
    int32_t pst = 0;
    int32_t dst = 0;
    int64_t pts = 0;
    int64_t dts = 0;
    int32_t nal_len = 0;
    int32_t rsv2 = 0;
};

static_assert(sizeof(H264_PARAM) == 72, "packet header is 72 bytes");
static_assert(alignof(H264_PARAM) == 8, "packet header holds 64-bit fields");
static_assert(offsetof(H264_PARAM, magic) == 0);
static_assert(offsetof(H264_PARAM, ver) == 8);
static_assert(offsetof(H264_PARAM, rsv1) == 12);
static_assert(offsetof(H264_PARAM, idx) == 16);
static_assert(offsetof(H264_PARAM, knd) == 24);
static_assert(offsetof(H264_PARAM, fbs) == 28);
static_assert(offsetof(H264_PARAM, sec) == 32);
static_assert(offsetof(H264_PARAM, pst) == 40);
static_assert(offsetof(H264_PARAM, dst) == 44);
static_assert(offsetof(H264_PARAM, pts) == 48);
static_assert(offsetof(H264_PARAM, dts) == 56);
static_assert(offsetof(H264_PARAM, nal_len) == 64);
static_assert(offsetof(H264_PARAM, rsv2) == 68);

namespace qx {

constexpr int kHeaderSize = 72;
constexpr int kTrailerSize = 4;
constexpr int kPacketOverhead = kHeaderSize + kTrailerSize;
constexpr unsigned char kMarker[8] = {0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41};
constexpr int kMarkerSize = 8;
// Every stream buffer of a session, at first; one grows up to the larger size when
// a single packet (a key picture of an 8-megapixel camera) needs it.
constexpr int kStreamBufferSize = 0x200000;
constexpr int kMaxStreamBufferSize = 16 * 0x100000;

// Packet kinds.
constexpr int kKindH264 = 0;
constexpr int kKindAudio1 = 1;
constexpr int kKindPcm8 = 2;
constexpr int kKindAudio3 = 3;
constexpr int kKindH265 = 10;

// Reads a header from bytes that are not necessarily aligned.
H264_PARAM ReadHeader(const unsigned char* bytes);

// later - earlier for the stamps and counters of headers, which a camera may set to
// anything: wrapped as the 64-bit counters they are, never undefined.
inline int64_t StampDiff(int64_t later, int64_t earlier) {
    return static_cast<int64_t>(static_cast<uint64_t>(later) - static_cast<uint64_t>(earlier));
}

}  // namespace qx

// A header with a separately allocated payload; copied by value (shallow).
struct H264_VAO {
    H264_PARAM param;
    unsigned char* data = nullptr;
};

// One whole packet copied out of a buffer; the holder frees data with delete[].
struct PKG_DATA {
    int32_t len = 0;
    unsigned char* data = nullptr;
};

// An audio frame: a header and up to 1600 bytes. 1672 bytes, the element of the
// audio queue.
struct FRAME_BUF {
    H264_PARAM param;
    unsigned char data[1600] = {};
};
static_assert(sizeof(FRAME_BUF) == 1672, "audio queue element is 1672 bytes");
