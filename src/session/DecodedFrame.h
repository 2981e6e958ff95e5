#pragma once

#include <cstdint>
#include <memory>

#include "decode/PictureRef.h"
#include "stream/PacketFormat.h"

// One picture waiting in the live render queue: a hold on the decoder's own picture,
// or when it could not be held a copy of width × height × 3/2 bytes, planes Y, U, V
// back to back. The strides are those of the one it has.
struct DECODED_FRAME {
    H264_PARAM param;
    int32_t width = 0;
    int32_t height = 0;
    int32_t strides[3] = {0, 0, 0};
    qx::PictureRef held;
    std::unique_ptr<unsigned char[]> picture;
};
