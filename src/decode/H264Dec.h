#pragma once

#include <cstdint>

// Our H.264 decoder library, driven the way the H.264 adapter drives a vendor
// decoder: a creation record, one access unit per call, a picture record.

// Creation record: 32-bit words. Words 2 and 3 hold the picture size in macroblocks
// plus one (width / 16 + 1, height / 16 + 1) as vendor decoders size their buffers;
// words 6 and 7 carry the exact size, because the packed planes this decoder hands
// out must cover exactly the size the session created it for.
struct H264_DEC_ATTR {
    int32_t words[8];
};

// The decoded picture as the session reads it: packed planes of the created size.
struct H264_DEC_FRAME {
    unsigned char* pY;
    unsigned char* pU;
    unsigned char* pV;
    uint32_t width;
    uint32_t height;
    uint32_t yStride;
    uint32_t uvStride;
    // qx::kFrameTypeKey for a key (intra) picture, qx::kFrameTypeOther otherwise.
    uint32_t frameType;
    // Written by nobody in this library; kept so the record has its vendor size.
    uint32_t reserved[14];
};

// A decoder for the record's size; null when none could be made.
void* H264DecCreate(const H264_DEC_ATTR* attr);
// 0 when the access unit completed a picture (then described in frame), -1 otherwise.
int H264DecAU(void* handle, const unsigned char* stream, int length, int64_t timestamp,
              H264_DEC_FRAME* frame, uint32_t flags);
void H264DecDestroy(void* handle);
