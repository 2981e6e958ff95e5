#include "streamkit/Picture.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>

namespace qx::kit {

namespace {

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
// Font pixels from one digit to the next.
constexpr int kDigitPitch = kGlyphWidth + 1;

// Rows of the 5x7 digits, most significant bit on the left.
constexpr uint8_t kGlyphs[10][kGlyphHeight] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

constexpr uint8_t kPlateLuma = 16;
constexpr uint8_t kInkLuma = 235;
constexpr uint8_t kFlashLuma = 235;

bool GlyphBit(int digit, int row, int col) {
    return (kGlyphs[digit][row] >> (kGlyphWidth - 1 - col)) & 1;
}

// Position along a path that goes 0..span and back.
int Bounce(int64_t travelled, int span) {
    if (span <= 0) {
        return 0;
    }
    const int64_t phase = travelled % (2 * static_cast<int64_t>(span));
    return static_cast<int>(phase <= span ? phase : 2 * span - phase);
}

void DrawMovingScene(Picture& pic, int64_t frame) {
    const int w = pic.width;
    const int h = pic.height;
    for (int y = 0; y < h; ++y) {
        uint8_t* row = pic.y.data() + static_cast<size_t>(y) * w;
        for (int x = 0; x < w; ++x) {
            row[x] = static_cast<uint8_t>(32 + ((2 * x + y + 5 * frame) & 255) * 3 / 4);
        }
    }
    const int cw = w / 2;
    for (int y = 0; y < h / 2; ++y) {
        for (int x = 0; x < cw; ++x) {
            const size_t i = static_cast<size_t>(y) * cw + x;
            pic.u[i] = static_cast<uint8_t>(96 + ((x + frame) & 63));
            pic.v[i] = static_cast<uint8_t>(96 + ((2 * y + 3 * frame) & 63));
        }
    }
    const int bw = std::max(8, w / 5) & ~1;
    const int bh = std::max(8, h / 5) & ~1;
    const int bx = Bounce(7 * frame, w - bw) & ~1;
    const int by = Bounce(5 * frame, h - bh) & ~1;
    for (int y = by; y < by + bh; ++y) {
        std::fill_n(pic.y.data() + static_cast<size_t>(y) * w + bx, bw, uint8_t{24});
    }
    for (int y = by / 2; y < (by + bh) / 2; ++y) {
        std::fill_n(pic.u.data() + static_cast<size_t>(y) * cw + bx / 2, bw / 2, uint8_t{90});
        std::fill_n(pic.v.data() + static_cast<size_t>(y) * cw + bx / 2, bw / 2, uint8_t{200});
    }
}

void DrawCounter(Picture& pic, int64_t frame) {
    const CounterLayout c = CounterLayoutFor(pic.width, pic.height);
    const int s = c.scale;
    const int plateX = c.x - s;
    const int plateY = c.y - s;
    const int plateW = kCounterDigits * kDigitPitch * s + s;
    const int plateH = (kGlyphHeight + 2) * s;
    for (int y = plateY; y < plateY + plateH; ++y) {
        std::fill_n(pic.y.data() + static_cast<size_t>(y) * pic.width + plateX, plateW, kPlateLuma);
    }
    const int cw = pic.width / 2;
    for (int y = plateY / 2; y < (plateY + plateH + 1) / 2; ++y) {
        std::fill_n(pic.u.data() + static_cast<size_t>(y) * cw + plateX / 2, (plateW + 1) / 2,
                    uint8_t{128});
        std::fill_n(pic.v.data() + static_cast<size_t>(y) * cw + plateX / 2, (plateW + 1) / 2,
                    uint8_t{128});
    }
    int64_t value = frame % kCounterModulo;
    for (int d = kCounterDigits - 1; d >= 0; --d) {
        const int digit = static_cast<int>(value % 10);
        value /= 10;
        const int dx = c.x + d * kDigitPitch * s;
        for (int row = 0; row < kGlyphHeight; ++row) {
            for (int col = 0; col < kGlyphWidth; ++col) {
                if (!GlyphBit(digit, row, col)) {
                    continue;
                }
                for (int y = 0; y < s; ++y) {
                    std::fill_n(pic.y.data() + static_cast<size_t>(c.y + row * s + y) * pic.width +
                                    dx + col * s,
                                s, kInkLuma);
                }
            }
        }
    }
}

// Mean luma of the middle of one font pixel; the edges blur most under compression.
int CellLuma(const uint8_t* y, int stride, int x0, int y0, int s) {
    const int inset = s / 4;
    const int n = s - 2 * inset;
    int sum = 0;
    for (int yy = 0; yy < n; ++yy) {
        for (int xx = 0; xx < n; ++xx) {
            sum += y[static_cast<size_t>(y0 + inset + yy) * stride + x0 + inset + xx];
        }
    }
    return sum / (n * n);
}

}  // namespace

CounterLayout CounterLayoutFor(int width, int height) {
    CounterLayout c;
    c.scale = std::max(1, std::min(width / 64, height / 36));
    c.x = 2 * c.scale;
    c.y = 2 * c.scale;
    return c;
}

bool IsFlashFrame(int64_t frame, int fps) {
    return fps > 0 && frame % fps == 0;
}

Picture MakePicture(int width, int height, int64_t frame, int fps) {
    Picture pic;
    pic.width = width;
    pic.height = height;
    const size_t luma = static_cast<size_t>(width) * height;
    pic.y.resize(luma);
    pic.u.resize(luma / 4);
    pic.v.resize(luma / 4);
    if (IsFlashFrame(frame, fps)) {
        std::fill(pic.y.begin(), pic.y.end(), kFlashLuma);
        std::fill(pic.u.begin(), pic.u.end(), uint8_t{128});
        std::fill(pic.v.begin(), pic.v.end(), uint8_t{128});
    } else {
        DrawMovingScene(pic, frame);
    }
    DrawCounter(pic, frame);
    return pic;
}

int64_t ReadCounter(const uint8_t* y, int stride, int width, int height) {
    const CounterLayout c = CounterLayoutFor(width, height);
    const int s = c.scale;
    // Every picture a host is shown is read, so the glyphs are compared as bit masks.
    static const std::array<uint64_t, 10> masks = [] {
        std::array<uint64_t, 10> m{};
        for (int digit = 0; digit < 10; ++digit) {
            for (int row = 0; row < kGlyphHeight; ++row)
                m[digit] = m[digit] << kGlyphWidth | kGlyphs[digit][row];
        }
        return m;
    }();
    int64_t value = 0;
    for (int d = 0; d < kCounterDigits; ++d) {
        const int dx = c.x + d * kDigitPitch * s;
        uint64_t ink = 0;
        for (int row = 0; row < kGlyphHeight; ++row) {
            for (int col = 0; col < kGlyphWidth; ++col) {
                ink = ink << 1 | (CellLuma(y, stride, dx + col * s, c.y + row * s, s) >= 128);
            }
        }
        int best = -1;
        int bestDistance = INT_MAX;
        for (int digit = 0; digit < 10; ++digit) {
            const int distance = __builtin_popcountll(ink ^ masks[digit]);
            if (distance < bestDistance) {
                best = digit;
                bestDistance = distance;
            }
        }
        // Any two glyphs differ in at least six font pixels, so up to two misread pixels still
        // leave one nearest glyph; beyond that the reading is a guess.
        if (bestDistance > 2) {
            return -1;
        }
        value = value * 10 + best;
    }
    return value;
}

int64_t ReadCounter(const Picture& picture) {
    return ReadCounter(picture.y.data(), picture.width, picture.width, picture.height);
}

}  // namespace qx::kit
