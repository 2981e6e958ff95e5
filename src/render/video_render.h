#pragma once

#include <cstdint>

#include "qxplaylib.h"

// A point of the picture in picture coordinates; (0, 0) for both corners of a
// source rectangle means the whole picture.
struct RenderPoint {
    int32_t x = 0;
    int32_t y = 0;
};

// What a session draws through. Planes are YUV 4:2:0: Y of width × height, U and V
// of (width / 2) × (height / 2) each, their rows strides[i] bytes apart (the
// decoder's own picture, whose rows are padded, is drawn where it lies). A renderer
// only reads them.
class video_render {
  public:
    virtual ~video_render() = default;
    virtual bool Init(QxWindow window, int width, int height) = 0;
    virtual bool Render(unsigned char* planes[3], const int strides[3], int width, int height,
                        QxWindow window, const RenderPoint* topLeft,
                        const RenderPoint* bottomRight) = 0;
    virtual void Close() = 0;
    virtual void SetText(const char* text, int32_t reserved, bool enable) = 0;
    virtual void GetSize(int32_t& height, int32_t& width) = 0;
};
