#pragma once

#include <cstdint>

// Drawing of the host's line overlays straight into a planar YUV 4:2:0 picture, before it
// reaches the renderer, so snapshots and frame delivery see the same lines as the screen.
// Every routine clips to the picture: any coordinates, including negative ones and ones
// far outside, and any picture size, odd or tiny, are safe. Nothing is allocated.
namespace qx {

// A picture of width x height luma samples in rows of exactly width bytes, and U and V
// planes of (width / 2) x (height / 2) samples in rows of width / 2 bytes. Chroma sample
// (x / 2, y / 2) belongs to luma sample (x, y).
struct YuvPlanes {
    unsigned char* y;
    unsigned char* u;
    unsigned char* v;
    int width;
    int height;
};

// Colours pack the three sample values: bits 16-23 Y, bits 8-15 the V-plane value,
// bits 0-7 the U-plane value.
constexpr uint32_t OverlayColour(unsigned char y, unsigned char v, unsigned char u) {
    return (uint32_t{y} << 16) | (uint32_t{v} << 8) | u;
}

// The side labels of a labelled line: 31 rows of 28 pixels, 4 bytes a row, the top bit of
// the first byte the leftmost pixel.
constexpr int kGlyphRows = 31;
constexpr int kGlyphPixelsPerRow = 28;
extern const unsigned char kGlyphA[kGlyphRows * 4];
extern const unsigned char kGlyphB[kGlyphRows * 4];

// A size x size square with its top-left corner at (x, y). Chroma is written only from
// even picture rows, at column x/2 + j/2 for the square's column j. Size <= 0 draws nothing.
void FillBlock(const YuvPlanes& picture, int x, int y, uint32_t colour, int size);

// The frame of a host rectangle: four edges t = 2 * width / 704 (at least 1) pixels thick,
// the top-left corner at (x, y), the bottom and right edges at y + height and x + width,
// pulled in so that they end one pixel short of the picture's far edges.
void DrawRectangle(const YuvPlanes& picture, int x, int y, int width, int height, uint32_t colour);

// A one-bit bitmap of rows x pixelsPerRow, ceil(pixelsPerRow / 8) bytes a row, with its
// top-left corner at (x, y); set bits are drawn, clear ones left alone.
void DrawGlyph(const YuvPlanes& picture, int rows, int pixelsPerRow, const unsigned char* bitmap,
               int x, int y, uint32_t colour);

// Overlay kind 0: a midpoint line of t x t squares, t = 2 * width / 704 (at least 1),
// thinned so the squares stay inside the right and bottom edges.
void DrawThickLine(const YuvPlanes& picture, int x0, int y0, int x1, int y1, uint32_t colour);

// Overlay kind 1: the line with the letters A and B on either side of its middle, telling
// the host which way across the line a crossing went.
void DrawLabelledLine(const YuvPlanes& picture, int x0, int y0, int x1, int y1, uint32_t colour);

// Overlay kind 2: the line with an arrowhead of two 20 * sqrt(2) strokes at (x1, y1).
void DrawArrowLine(const YuvPlanes& picture, int x0, int y0, int x1, int y1, uint32_t colour);

}  // namespace qx
