#pragma once

#include <cstdint>

// Conversions of packed YUV 4:2:0 pictures (Y of width x height, U and V of
// (width / 2) x (height / 2), chroma sample (x/2, y/2) belonging to luma (x, y)) into
// the RGB forms the renderers, snapshots and frame delivery need. No allocation, no
// state. Odd sizes are safe: the last luma column or row reuses the last chroma one.
namespace qx {

// A destination of RGB pixels: stride in bytes.
struct RgbTarget {
    uint8_t* data;
    int stride;
    int width;
    int height;
};

// BT.601 limited range to B, G, R, 0xFF in memory order, top-down; 16 pixels a step
// with SSE2, the rest by the same fixed-point formula.
void YuvToRgb32(const uint8_t* y, int yStride, const uint8_t* u, int uStride, const uint8_t* v,
                int vStride, const RgbTarget& target);

// The same into little-endian RGB565.
void YuvToRgb565(const uint8_t* y, int yStride, const uint8_t* u, int uStride, const uint8_t* v,
                 int vStride, const RgbTarget& target);

// The fixed-point formula of both, one pixel; components clamped to 0..255.
void YuvPixelToRgb(int y, int u, int v, uint8_t* r, uint8_t* g, uint8_t* b);

// Full-range BT.601 in double precision, bottom-up RGB24. Callers pass the V plane as
// c1 and the U plane as c2, which makes the bytes R, G, B. False (nothing written)
// for an empty picture, a width or height below 2, or a missing plane.
bool YuvToRgb24(const uint8_t* y, const uint8_t* c1, const uint8_t* c2, uint8_t* destination,
                int width, int height);

// Top-down B, G, R through lookup tables of the fixed-point formula; planes in the
// order Y, V, U.
void YuvToRgb24Table(const uint8_t* y, const uint8_t* v, const uint8_t* u, uint8_t* destination,
                     int width, int height);

// Brightness (-255..255, neutral 0), saturation (0..127, neutral 64), contrast
// (0..255, neutral 128) and hue (degrees, -180..180, neutral 0) applied in place to
// a packed picture whose first chroma plane is V. Values outside are clamped.
void AdjustColor(uint8_t* picture, int width, int height, int brightness, int saturation,
                 int contrast, int hue);

}  // namespace qx
