#include "render/PixelConvert.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <mutex>

namespace qx {

namespace {

inline uint8_t Clamp(int value) {
    return static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
}

// Chroma of the last luma column or row of an odd size is the last one there is.
inline int ChromaIndex(int lumaIndex, int chromaSize) {
    return std::min(lumaIndex / 2, chromaSize - 1);
}

// The chroma terms of eight chroma samples, each doubled for the two pixels it
// serves: low and high halves of sixteen pixels. Multiply-high on coefficients scaled
// by 8 gives the fixed-point products directly.
struct ChromaTerms {
    __m128i blueLo, blueHi;
    __m128i greenLo, greenHi;
    __m128i redLo, redHi;
};

inline ChromaTerms Chroma8(const uint8_t* u, const uint8_t* v) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i bias = _mm_set1_epi16(128);
    const __m128i cu = _mm_slli_epi16(
        _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u)), zero),
                      bias),
        3);
    const __m128i cv = _mm_slli_epi16(
        _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(v)), zero),
                      bias),
        3);
    const __m128i blue = _mm_mulhi_epi16(cu, _mm_set1_epi16(16525));
    const __m128i green = _mm_add_epi16(_mm_mulhi_epi16(cu, _mm_set1_epi16(-3209)),
                                        _mm_mulhi_epi16(cv, _mm_set1_epi16(-6660)));
    const __m128i red = _mm_mulhi_epi16(cv, _mm_set1_epi16(13075));
    return {_mm_unpacklo_epi16(blue, blue),   _mm_unpackhi_epi16(blue, blue),
            _mm_unpacklo_epi16(green, green), _mm_unpackhi_epi16(green, green),
            _mm_unpacklo_epi16(red, red),     _mm_unpackhi_epi16(red, red)};
}

// Sixteen pixels of one row into B, G and R bytes.
inline void Luma16(const uint8_t* y, const ChromaTerms& c, __m128i* b, __m128i* g, __m128i* r) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i luma =
        _mm_subs_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y)), _mm_set1_epi8(16));
    // Luma lands in the high byte of each lane (luma * 256), so one unsigned
    // multiply-high by 298 (1.164 * 256) gives the scaled term without a shift.
    const __m128i scale = _mm_set1_epi16(298);
    const __m128i lo = _mm_mulhi_epu16(_mm_unpacklo_epi8(zero, luma), scale);
    const __m128i hi = _mm_mulhi_epu16(_mm_unpackhi_epi8(zero, luma), scale);
    *b = _mm_packus_epi16(_mm_add_epi16(lo, c.blueLo), _mm_add_epi16(hi, c.blueHi));
    *g = _mm_packus_epi16(_mm_add_epi16(lo, c.greenLo), _mm_add_epi16(hi, c.greenHi));
    *r = _mm_packus_epi16(_mm_add_epi16(lo, c.redLo), _mm_add_epi16(hi, c.redHi));
}

inline void Store(__m128i* dst, __m128i value) {
    _mm_storeu_si128(dst, value);
}

inline void StoreRgb32(uint8_t* out, __m128i b, __m128i g, __m128i r) {
    const __m128i alpha = _mm_set1_epi8(static_cast<char>(0xFF));
    const __m128i bgLo = _mm_unpacklo_epi8(b, g);
    const __m128i bgHi = _mm_unpackhi_epi8(b, g);
    const __m128i raLo = _mm_unpacklo_epi8(r, alpha);
    const __m128i raHi = _mm_unpackhi_epi8(r, alpha);
    __m128i* dst = reinterpret_cast<__m128i*>(out);
    Store(dst, _mm_unpacklo_epi16(bgLo, raLo));
    Store(dst + 1, _mm_unpackhi_epi16(bgLo, raLo));
    Store(dst + 2, _mm_unpacklo_epi16(bgHi, raHi));
    Store(dst + 3, _mm_unpackhi_epi16(bgHi, raHi));
}

// Packed in byte lanes: the low byte of a pixel is GGGBBBBB, the high one RRRRRGGG.
// SSE2 shifts only 16-bit lanes, so each shift is masked back to its own byte.
inline void StoreRgb565(uint8_t* out, __m128i b, __m128i g, __m128i r) {
    const __m128i low =
        _mm_or_si128(_mm_and_si128(_mm_srli_epi16(b, 3), _mm_set1_epi8(0x1F)),
                     _mm_and_si128(_mm_slli_epi16(g, 3), _mm_set1_epi8(static_cast<char>(0xE0))));
    const __m128i high = _mm_or_si128(_mm_and_si128(r, _mm_set1_epi8(static_cast<char>(0xF8))),
                                      _mm_and_si128(_mm_srli_epi16(g, 5), _mm_set1_epi8(0x07)));
    Store(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(low, high));
    Store(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi8(low, high));
}

// Both rows of a chroma row pair (rowCount 1 for the last row of an odd height),
// sixteen pixels a step; the chroma terms are worked out once for the two rows.
template <typename Store>
int VectorRows(const uint8_t* const yRows[2], int rowCount, const uint8_t* uRow,
               const uint8_t* vRow, uint8_t* const outRows[2], int width, int bytesPerPixel,
               Store store) {
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const ChromaTerms c = Chroma8(uRow + x / 2, vRow + x / 2);
        for (int i = 0; i < rowCount; ++i) {
            __m128i b, g, r;
            Luma16(yRows[i] + x, c, &b, &g, &r);
            store(outRows[i] + bytesPerPixel * x, b, g, r);
        }
    }
    return x;
}

// Every row pair: sixteen pixels a step by store, the rest one pixel at a time by
// storePixel(row, x, r, g, b).
template <typename Store, typename StorePixel>
void ConvertRows(const uint8_t* y, int yStride, const uint8_t* u, int uStride, const uint8_t* v,
                 int vStride, const RgbTarget& target, int bytesPerPixel, Store store,
                 StorePixel storePixel) {
    const int width = target.width;
    const int height = target.height;
    const int chromaWidth = width / 2;
    const int chromaHeight = height / 2;
    if (width < 2 || height < 2 || !y || !u || !v || !target.data)
        return;
    for (int row = 0; row < height; row += 2) {
        const int rowCount = row + 1 < height ? 2 : 1;
        const int chromaRow = ChromaIndex(row, chromaHeight);
        const uint8_t* uRow = u + static_cast<ptrdiff_t>(chromaRow) * uStride;
        const uint8_t* vRow = v + static_cast<ptrdiff_t>(chromaRow) * vStride;
        const uint8_t* yRows[2] = {y + static_cast<ptrdiff_t>(row) * yStride,
                                   y + static_cast<ptrdiff_t>(row + rowCount - 1) * yStride};
        uint8_t* outRows[2] = {
            target.data + static_cast<ptrdiff_t>(row) * target.stride,
            target.data + static_cast<ptrdiff_t>(row + rowCount - 1) * target.stride};
        const int done =
            VectorRows(yRows, rowCount, uRow, vRow, outRows, width, bytesPerPixel, store);
        for (int i = 0; i < rowCount; ++i) {
            for (int x = done; x < width; ++x) {
                const int c = ChromaIndex(x, chromaWidth);
                uint8_t r, g, b;
                YuvPixelToRgb(yRows[i][x], uRow[c], vRow[c], &r, &g, &b);
                storePixel(outRows[i], x, r, g, b);
            }
        }
    }
}

}  // namespace

void YuvPixelToRgb(int y, int u, int v, uint8_t* r, uint8_t* g, uint8_t* b) {
    const int ys = (y - 16) * 76309;
    const int du = u - 128;
    const int dv = v - 128;
    *b = Clamp((ys + du * 132201) >> 16);
    *g = Clamp((ys - du * 25674 - dv * 53278) >> 16);
    *r = Clamp((ys + dv * 104597) >> 16);
}

void YuvToRgb32(const uint8_t* y, int yStride, const uint8_t* u, int uStride, const uint8_t* v,
                int vStride, const RgbTarget& target) {
    ConvertRows(y, yStride, u, uStride, v, vStride, target, 4, StoreRgb32,
                [](uint8_t* out, int x, uint8_t r, uint8_t g, uint8_t b) {
                    uint8_t* p = out + 4 * x;
                    p[0] = b;
                    p[1] = g;
                    p[2] = r;
                    p[3] = 0xFF;
                });
}

void YuvToRgb565(const uint8_t* y, int yStride, const uint8_t* u, int uStride, const uint8_t* v,
                 int vStride, const RgbTarget& target) {
    ConvertRows(y, yStride, u, uStride, v, vStride, target, 2, StoreRgb565,
                [](uint8_t* out, int x, uint8_t r, uint8_t g, uint8_t b) {
                    reinterpret_cast<uint16_t*>(out)[x] =
                        static_cast<uint16_t>(((r & 0xF8) << 8) | ((g & 0xFC) << 3) | (b >> 3));
                });
}

bool YuvToRgb24(const uint8_t* y, const uint8_t* c1, const uint8_t* c2, uint8_t* destination,
                int width, int height) {
    const int chromaWidth = width / 2;
    const int chromaHeight = height / 2;
    if (static_cast<int64_t>(width) * height < 1 || chromaWidth < 1 || chromaHeight < 1 || !y ||
        !c1 || !c2 || !destination)
        return false;
    const auto clamp = [](double value) {
        return static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
    };
    for (int row = 0; row < height; ++row) {
        const int chromaRow = ChromaIndex(row, chromaHeight);
        uint8_t* out = destination + static_cast<ptrdiff_t>(height - 1 - row) * width * 3;
        for (int x = 0; x < width; ++x) {
            const int c = chromaRow * chromaWidth + ChromaIndex(x, chromaWidth);
            // Limited-range BT.601 to full-range RGB, as the window and the images show.
            const double luma = 1.164383 * (y[static_cast<ptrdiff_t>(row) * width + x] - 16.0);
            const double dv = c1[c] - 128.0;
            const double du = c2[c] - 128.0;
            out[3 * x] = clamp(luma + 1.596027 * dv);
            out[3 * x + 1] = clamp(luma - 0.812968 * dv - 0.391762 * du);
            out[3 * x + 2] = clamp(luma + 2.017232 * du);
        }
    }
    return true;
}

void YuvToRgb24Table(const uint8_t* y, const uint8_t* v, const uint8_t* u, uint8_t* destination,
                     int width, int height) {
    struct Tables {
        int y[256], ub[256], vr[256], ug[256], vg[256];
    };
    static const Tables tables = [] {
        Tables t{};
        for (int i = 0; i < 256; ++i) {
            t.y[i] = 76309 * (i - 16);
            t.ub[i] = 132201 * (i - 128);
            t.vr[i] = 104597 * (i - 128);
            t.ug[i] = 25674 * (i - 128);
            t.vg[i] = 53278 * (i - 128);
        }
        return t;
    }();
    const int chromaWidth = width / 2;
    const int chromaHeight = height / 2;
    if (width < 2 || height < 2 || !y || !u || !v || !destination)
        return;
    for (int row = 0; row < height; ++row) {
        const int chromaRow = ChromaIndex(row, chromaHeight);
        uint8_t* out = destination + static_cast<ptrdiff_t>(row) * width * 3;
        for (int x = 0; x < width; ++x) {
            const int c = chromaRow * chromaWidth + ChromaIndex(x, chromaWidth);
            const int ly = tables.y[y[static_cast<ptrdiff_t>(row) * width + x]];
            out[3 * x] = Clamp((ly + tables.ub[u[c]]) >> 16);
            out[3 * x + 1] = Clamp((ly - tables.vg[v[c]] - tables.ug[u[c]]) >> 16);
            out[3 * x + 2] = Clamp((ly + tables.vr[v[c]]) >> 16);
        }
    }
}

namespace {

struct HueTables {
    int sine[361];
    int cosine[361];
};

const HueTables& Hue() {
    static const HueTables tables = [] {
        HueTables t{};
        constexpr double kPi = 3.1415926;
        for (int a = -180; a <= 180; ++a) {
            t.sine[a + 180] = static_cast<int>(std::sin(a * kPi / 180) * 128);
            t.cosine[a + 180] = static_cast<int>(std::cos(a * kPi / 180) * 128);
        }
        return t;
    }();
    return tables;
}

}  // namespace

void AdjustColor(uint8_t* picture, int width, int height, int brightness, int saturation,
                 int contrast, int hue) {
    if (!picture || width < 2 || height < 2)
        return;
    brightness = std::clamp(brightness, -255, 255);
    saturation = std::clamp(saturation, 0, 127);
    contrast = std::clamp(contrast, 0, 255);
    hue = std::clamp(hue, -180, 180);
    const int fullHeight = height;
    if (width == 176 && height == 128)
        height = 120;
    const size_t luma = static_cast<size_t>(width) * height;
    if (brightness != 0 || contrast != 128) {
        for (size_t i = 0; i < luma; ++i) {
            const uint16_t scaled = static_cast<uint16_t>((picture[i] * contrast + 64) >> 7);
            picture[i] = Clamp(static_cast<int16_t>(scaled + brightness));
        }
    }
    if (saturation == 64 && hue == 0)
        return;
    const int s = Hue().sine[hue + 180];
    const int c = Hue().cosine[hue + 180];
    const size_t chroma = static_cast<size_t>(width / 2) * (height / 2);
    uint8_t* first = picture + static_cast<size_t>(width) * fullHeight;
    uint8_t* second = first + static_cast<size_t>(width / 2) * (fullHeight / 2);
    for (size_t i = 0; i < chroma; ++i) {
        const int p = first[i] - 128;
        const int q = second[i] - 128;
        first[i] = Clamp(((((p * c) >> 7) + ((q * s) >> 7)) * saturation >> 6) + 128);
        second[i] = Clamp(((((q * c) >> 7) - ((p * s) >> 7)) * saturation >> 6) + 128);
    }
}

}  // namespace qx
