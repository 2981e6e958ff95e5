#pragma once

#include <cstdint>
#include <memory>

#include "stream/PacketFormat.h"

// One picture waiting in the live render queue. The entry owns its picture copy:
// width × height × 3/2 bytes, planes Y, U, V back to back.
struct DECODED_FRAME {
    H264_PARAM param;
    int32_t width = 0;
    int32_t height = 0;
    int32_t strides[3] = {0, 0, 0};
    std::unique_ptr<unsigned char[]> picture;
};
