#pragma once

#include <cstdint>

#include "decode/PictureRef.h"

// Our H.264 decoder library, driven the way the H.264 adapter drives a vendor
// decoder: a creation record, one access unit per call, a picture record.

// Creation record: 32-bit words. Words 2 and 3 hold the picture size in macroblocks
// plus one (width / 16 + 1, height / 16 + 1) as vendor decoders size their buffers;
// words 6 and 7 carry the exact size, because the planes this decoder hands out
// must cover exactly the size the session created it for.
struct H264_DEC_ATTR {
    int32_t words[8];
};

// The decoded picture as the session reads it, of the created size. The strides are
// those of packed planes (width and width / 2), which is how the picture is
// described; the planes themselves lie yPitch and uvPitch bytes apart per row.
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
    uint32_t yPitch;
    uint32_t uvPitch;
    // The time stamp of the access unit the picture came from.
    int64_t pts;
    // Written by nobody in this library; kept so the record has its vendor size.
    uint32_t reserved[10];
};

// Flags of H264DecAU: with kH264DecNext no unit is given and the next picture the
// last one left is asked for; with kH264DecFlush the stream ends and the pictures
// still held come out, one per call with kH264DecNext after the first.
constexpr uint32_t kH264DecNext = 1;
constexpr uint32_t kH264DecFlush = 2;

// A decoder for the record's size; null when none could be made.
void* H264DecCreate(const H264_DEC_ATTR* attr);
// 0 when a picture came out (then described in frame), -1 otherwise.
int H264DecAU(void* handle, const unsigned char* stream, int length, int64_t timestamp,
              H264_DEC_FRAME* frame, uint32_t flags);
void H264DecDestroy(void* handle);

namespace qx {

// The picture H264DecAU last described, held past the next call; empty when the
// description was of a copy (a picture not of the created size, or converted) or the
// call gave no picture.
PictureRef H264DecHoldPicture(void* handle);

// The picture's planes into packed planes of its size: Y, then U and V.
void CopyFramePacked(const H264_DEC_FRAME& frame, unsigned char* y, unsigned char* u,
                     unsigned char* v);

}  // namespace qx
