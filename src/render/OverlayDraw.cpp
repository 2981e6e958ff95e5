#include "render/OverlayDraw.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace qx {

// clang-format off
const unsigned char kGlyphA[kGlyphRows * 4] = {
    0x00, 0x00, 0x00, 0x00,  0x00, 0x1F, 0x00, 0x00,  0x00, 0x1F, 0x80, 0x00,
    0x00, 0x1F, 0x80, 0x00,  0x00, 0x3F, 0xC0, 0x00,  0x00, 0x3B, 0xC0, 0x00,
    0x00, 0x7B, 0xC0, 0x00,  0x00, 0x79, 0xE0, 0x00,  0x00, 0x71, 0xE0, 0x00,
    0x00, 0xF1, 0xE0, 0x00,  0x00, 0xF0, 0xF0, 0x00,  0x00, 0xE0, 0xF0, 0x00,
    0x01, 0xE0, 0xF8, 0x00,  0x01, 0xE0, 0x78, 0x00,  0x01, 0xC0, 0x78, 0x00,
    0x03, 0xC0, 0x7C, 0x00,  0x03, 0xC0, 0x3C, 0x00,  0x07, 0x80, 0x3C, 0x00,
    0x07, 0x80, 0x3E, 0x00,  0x07, 0x80, 0x1E, 0x00,  0x0F, 0xFF, 0xFE, 0x00,
    0x0F, 0xFF, 0xFF, 0x00,  0x0F, 0xFF, 0xFF, 0x00,  0x1E, 0x00, 0x0F, 0x80,
    0x1E, 0x00, 0x07, 0x80,  0x3E, 0x00, 0x07, 0x80,  0x3C, 0x00, 0x07, 0xC0,
    0x3C, 0x00, 0x03, 0xC0,  0x7C, 0x00, 0x03, 0xC0,  0x78, 0x00, 0x03, 0xE0,
    0x78, 0x00, 0x01, 0xE0,
};

const unsigned char kGlyphB[kGlyphRows * 4] = {
    0x00, 0x00, 0x00, 0x00,  0x0F, 0xFF, 0x80, 0x00,  0x0F, 0xFF, 0xE0, 0x00,
    0x0F, 0xFF, 0xF0, 0x00,  0x0F, 0x01, 0xF8, 0x00,  0x0F, 0x00, 0x78, 0x00,
    0x0F, 0x00, 0x3C, 0x00,  0x0F, 0x00, 0x3C, 0x00,  0x0F, 0x00, 0x3C, 0x00,
    0x0F, 0x00, 0x3C, 0x00,  0x0F, 0x00, 0x3C, 0x00,  0x0F, 0x00, 0x78, 0x00,
    0x0F, 0x00, 0x78, 0x00,  0x0F, 0x01, 0xF0, 0x00,  0x0F, 0xFF, 0xE0, 0x00,
    0x0F, 0xFF, 0xF0, 0x00,  0x0F, 0xFF, 0xF8, 0x00,  0x0F, 0x00, 0x7C, 0x00,
    0x0F, 0x00, 0x3E, 0x00,  0x0F, 0x00, 0x1F, 0x00,  0x0F, 0x00, 0x0F, 0x00,
    0x0F, 0x00, 0x0F, 0x00,  0x0F, 0x00, 0x0F, 0x00,  0x0F, 0x00, 0x0F, 0x00,
    0x0F, 0x00, 0x0F, 0x00,  0x0F, 0x00, 0x1E, 0x00,  0x0F, 0x00, 0x3E, 0x00,
    0x0F, 0x00, 0x7C, 0x00,  0x0F, 0xFF, 0xF8, 0x00,  0x0F, 0xFF, 0xF0, 0x00,
    0x0F, 0xFF, 0xC0, 0x00,
};
// clang-format on

namespace {

// Overlay coordinates come from the host unchecked, so sums and differences of two of them
// are formed in 64 bits.
using Wide = int64_t;

constexpr int kGlyphClampMargin = 31;
constexpr Wide kLabelNear = 2 * kGlyphRows;
constexpr int kLabelHalvings = 10;
constexpr double kArrowStroke = 20.0;
constexpr double kPi = 3.14159265358979323846;

bool Drawable(const YuvPlanes& p) {
    return p.y != nullptr && p.width > 0 && p.height > 0;
}

int Saturate(Wide value) {
    return static_cast<int>(
        std::clamp<Wide>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

// The halfway point of two coordinates, rounded toward the smaller one.
Wide Halfway(Wide a, Wide b) {
    return std::min(a, b) + std::llabs(a - b) / 2;
}

// Thickness of the squares of a line. The edge rule thins a line that ends near the right
// or bottom edge so its squares do not run past it; for an end on the last column or row,
// or beyond the picture, the rule gives 0 or less. Such a line is still drawn 1 pixel
// thick: FillBlock clips, so one pixel is the most that can stay inside at the last column,
// and a line the host placed on the edge should stay visible rather than vanish.
int LineThickness(const YuvPlanes& p, Wide x0, Wide y0, Wide x1, Wide y1) {
    Wide t = std::max<Wide>(1, Wide{2} * p.width / 704);
    const Wide maxX = std::max(x0, x1);
    if (maxX + t >= p.width)
        t = p.width - maxX - 1;
    const Wide maxY = std::max(y0, y1);
    if (maxY + t >= p.height)
        t = p.height - maxY - 1;
    return static_cast<int>(std::max<Wide>(t, 1));
}

// round(step * minor / major) for 0 <= step <= major, halves rounded up: the minor-axis
// offset a midpoint walk reaches after step steps. Both factors are below 2^32, so the
// product fits in 64 unsigned bits.
Wide MinorOffset(uint64_t step, uint64_t minor, uint64_t major) {
    const uint64_t n = step * minor;
    const uint64_t q = n / major, r = n % major;
    return static_cast<Wide>(q + (2 * r >= major ? 1 : 0));
}

struct Point {
    Wide x, y;
};

// (x, y) turned about (cx, cy) by the given number of degrees, truncated toward zero.
Point Rotate(Point p, Point c, double degrees) {
    const double r = degrees / 180.0 * kPi;
    const double dx = static_cast<double>(p.x - c.x), dy = static_cast<double>(p.y - c.y);
    return {static_cast<Wide>(dx * std::cos(r) - dy * std::sin(r) + static_cast<double>(c.x)),
            static_cast<Wide>(dx * std::sin(r) + dy * std::cos(r) + static_cast<double>(c.y))};
}

// Keeps a label's top-left corner off the left and top edges and far enough from the right
// and bottom ones for the whole glyph. On a picture narrower or shorter than the glyph the
// corner ends up negative again and FillBlock clips what does not fit.
int ClampLabel(Wide v, int extent) {
    if (v < 0)
        v = 0;
    if (v >= extent - kGlyphClampMargin)
        v = extent - kGlyphClampMargin;
    return static_cast<int>(v);
}

// Columns [x, x + w) of rows [y, y + h), clipped to the picture; chroma from even rows.
void FillArea(const YuvPlanes& p, Wide x, Wide y, Wide w, Wide h, uint32_t colour) {
    const Wide left = std::max<Wide>(x, 0), right = std::min<Wide>(x + w, p.width);
    const Wide top = std::max<Wide>(y, 0), bottom = std::min<Wide>(y + h, p.height);
    if (left >= right || top >= bottom)
        return;
    const auto lumaValue = static_cast<unsigned char>(colour >> 16);
    const auto vValue = static_cast<unsigned char>(colour >> 8);
    const auto uValue = static_cast<unsigned char>(colour);
    const int chromaWidth = p.width / 2, chromaHeight = p.height / 2;
    const bool chroma = p.u != nullptr && p.v != nullptr;
    for (Wide row = top; row < bottom; ++row) {
        unsigned char* lumaRow = p.y + static_cast<size_t>(row) * p.width;
        std::fill(lumaRow + left, lumaRow + right, lumaValue);
        if (!chroma || row % 2 != 0 || row / 2 >= chromaHeight)
            continue;
        const Wide chromaRight = std::min<Wide>((right + 1) / 2, chromaWidth);
        const size_t rowStart = static_cast<size_t>(row / 2) * chromaWidth;
        for (Wide c = left / 2; c < chromaRight; ++c) {
            p.v[rowStart + c] = vValue;
            p.u[rowStart + c] = uValue;
        }
    }
}

}  // namespace

void DrawRectangle(const YuvPlanes& p, int x, int y, int width, int height, uint32_t colour) {
    if (!Drawable(p))
        return;
    const Wide t = std::max<Wide>(1, Wide{2} * p.width / 704);
    Wide w = width, h = height;
    // The far edges are pulled in so that the whole border stays inside the picture.
    if (Wide{y} + h + t + 1 > p.height)
        h = p.height - Wide{y} - t - 1;
    if (Wide{x} + w + t + 1 > p.width)
        w = p.width - Wide{x} - t - 1;
    FillArea(p, x, y, w + t, t, colour);
    FillArea(p, x, Wide{y} + h, w + t, t, colour);
    FillArea(p, x, y, t, h + t, colour);
    FillArea(p, Wide{x} + w, y, t, h + t, colour);
}

void FillBlock(const YuvPlanes& p, int x, int y, uint32_t colour, int size) {
    if (!Drawable(p) || size <= 0)
        return;
    const auto lumaValue = static_cast<unsigned char>(colour >> 16);
    const auto vValue = static_cast<unsigned char>(colour >> 8);
    const auto uValue = static_cast<unsigned char>(colour);
    const int chromaWidth = p.width / 2, chromaHeight = p.height / 2;
    const bool chroma = p.u != nullptr && p.v != nullptr;

    // Only the part of the square inside the picture is visited; the chroma position of
    // every visited sample is checked on its own because x/2 + j/2 can pass the last chroma
    // column of an odd-width picture, and row (y+i)/2 the last chroma row of an odd-height one.
    const Wide iBegin = std::max<Wide>(0, -Wide{y});
    const Wide iEnd = std::min<Wide>(size, Wide{p.height} - y);
    const Wide jBegin = std::max<Wide>(0, -Wide{x});
    const Wide jEnd = std::min<Wide>(size, Wide{p.width} - x);
    if (iBegin >= iEnd || jBegin >= jEnd)
        return;
    // From here every index lies within 0..size, so ints hold them.
    for (int i = static_cast<int>(iBegin); i < iEnd; ++i) {
        const int row = y + i;
        unsigned char* lumaRow = p.y + static_cast<size_t>(row) * p.width;
        const int chromaRow = row / 2;
        const bool chromaOnRow = chroma && row % 2 == 0 && chromaRow < chromaHeight;
        for (int j = static_cast<int>(jBegin); j < jEnd; ++j) {
            lumaRow[x + j] = lumaValue;
            if (!chromaOnRow)
                continue;
            const int chromaColumn = x / 2 + j / 2;
            if (chromaColumn < 0 || chromaColumn >= chromaWidth)
                continue;
            const size_t at = static_cast<size_t>(chromaRow) * chromaWidth + chromaColumn;
            p.v[at] = vValue;
            p.u[at] = uValue;
        }
    }
}

void DrawGlyph(const YuvPlanes& p, int rows, int pixelsPerRow, const unsigned char* bitmap, int x,
               int y, uint32_t colour) {
    if (!Drawable(p) || bitmap == nullptr || rows <= 0 || pixelsPerRow <= 0)
        return;
    const int bytesPerRow = (pixelsPerRow + 7) / 8;
    for (int r = 0; r < rows; ++r) {
        for (int k = 0; k < bytesPerRow; ++k) {
            const unsigned char bits = bitmap[r * bytesPerRow + k];
            for (int b = 0; b < 8; ++b) {
                if (bits & (0x80 >> b))
                    FillBlock(p, Saturate(Wide{x} + 8 * k + b), Saturate(Wide{y} + r), colour, 1);
            }
        }
    }
}

void DrawThickLine(const YuvPlanes& p, int x0, int y0, int x1, int y1, uint32_t colour) {
    if (!Drawable(p))
        return;
    const int t = LineThickness(p, x0, y0, x1, y1);

    // The walk advances along the major axis from the end with the smaller coordinate there.
    const bool xMajor = std::llabs(Wide{y1} - y0) <= std::llabs(Wide{x1} - x0);
    Point a{x0, y0}, b{x1, y1};
    if (xMajor ? a.x > b.x : a.y > b.y)
        std::swap(a, b);
    const Wide majorStart = xMajor ? a.x : a.y, minorStart = xMajor ? a.y : a.x;
    const Wide major = xMajor ? b.x - a.x : b.y - a.y;
    const Wide minor = xMajor ? b.y - a.y : b.x - a.x;
    const Wide extent = xMajor ? p.width : p.height;

    // Each point of the walk is found in closed form, so only the steps whose square can
    // reach into the picture along the major axis are taken. A line with end points far
    // outside costs no more than one across the picture.
    const Wide first = std::max<Wide>(0, -(t - 1) - majorStart);
    const Wide last = std::min<Wide>(major, extent - 1 - majorStart);
    const uint64_t minorLength = static_cast<uint64_t>(std::llabs(minor));
    for (Wide step = first; step <= last; ++step) {
        Wide offset = major == 0 ? 0 : MinorOffset(step, minorLength, major);
        if (minor < 0)
            offset = -offset;
        // Both coordinates lie between the end points, so they fit in an int.
        const int along = static_cast<int>(majorStart + step);
        const int across = static_cast<int>(minorStart + offset);
        FillBlock(p, xMajor ? along : across, xMajor ? across : along, colour, t);
    }
}

void DrawLabelledLine(const YuvPlanes& p, int x0, int y0, int x1, int y1, uint32_t colour) {
    if (!Drawable(p))
        return;
    DrawThickLine(p, x0, y0, x1, y1, colour);

    const Point middle{Halfway(x0, x1), Halfway(y0, y1)};
    // The labels sit about as far from the line as a start point halved toward the middle
    // until it is within two glyph heights of it, so they stay close on long lines.
    Point near{x0, y0};
    for (int n = 0; n < kLabelHalvings; ++n) {
        near = {Halfway(near.x, middle.x), Halfway(near.y, middle.y)};
        if (std::llabs(near.x - middle.x) <= kLabelNear)
            break;
    }
    const Point a = Rotate(near, middle, 90.0);
    const Point b = Rotate(near, middle, 270.0);
    DrawGlyph(p, kGlyphRows, kGlyphPixelsPerRow, kGlyphA, ClampLabel(a.x, p.width),
              ClampLabel(a.y, p.height), colour);
    DrawGlyph(p, kGlyphRows, kGlyphPixelsPerRow, kGlyphB, ClampLabel(b.x, p.width),
              ClampLabel(b.y, p.height), colour);
}

void DrawArrowLine(const YuvPlanes& p, int x0, int y0, int x1, int y1, uint32_t colour) {
    if (!Drawable(p))
        return;
    DrawThickLine(p, x0, y0, x1, y1, colour);

    // Direction from the head back toward the tail; the strokes lie 45 degrees either side.
    const double angle =
        std::atan2(static_cast<double>(Wide{y0} - y1), static_cast<double>(Wide{x0} - x1));
    const double lc = kArrowStroke * std::cos(angle), ls = kArrowStroke * std::sin(angle);
    DrawThickLine(p, x1, y1, Saturate(x1 + static_cast<Wide>(lc - ls)),
                  Saturate(y1 + static_cast<Wide>(ls + lc)), colour);
    DrawThickLine(p, x1, y1, Saturate(x1 + static_cast<Wide>(lc + ls)),
                  Saturate(y1 - static_cast<Wide>(lc - ls)), colour);
}

}  // namespace qx
