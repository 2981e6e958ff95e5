#pragma once

#include <array>
#include <cstdint>

// The ten words that describe a decoded picture without its plane pointers. A camera
// that marks its stream puts the description of each key picture into the watermark
// record in front of it, so a record copied into another stream (another size, another
// codec) no longer matches the picture it stands before.
namespace qx {

constexpr int kFrameDescriptionWords = 10;
using FrameDescription = std::array<int32_t, kFrameDescriptionWords>;

constexpr int kFrameTypeKey = 1;
constexpr int kFrameTypeOther = 0;

// width, height, luma stride, chroma stride, frame type (1 key picture, 0 other),
// codec (the packet kind: 0 H.264, 10 H.265), chroma format (1: 4:2:0), bit depth (8),
// then two zero words.
constexpr FrameDescription DescribeFrame(int32_t width, int32_t height, int32_t yStride,
                                         int32_t uvStride, int32_t frameType, int32_t codec) {
    return {width, height, yStride, uvStride, frameType, codec, 1, 8, 0, 0};
}

}  // namespace qx
