// The pixel converters against double-precision BT.601 and against each other.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "render/PixelConvert.h"

namespace {

struct Planes {
    int width, height;
    std::vector<uint8_t> y, u, v;
    Planes(int w, int h) : width(w), height(h), y(w * h), u((w / 2) * (h / 2)), v(u.size()) {}
};

Planes Random(int w, int h, uint32_t seed) {
    Planes p(w, h);
    std::mt19937 rng(seed);
    for (auto& s : p.y)
        s = static_cast<uint8_t>(16 + rng() % 220);
    for (auto& s : p.u)
        s = static_cast<uint8_t>(16 + rng() % 225);
    for (auto& s : p.v)
        s = static_cast<uint8_t>(16 + rng() % 225);
    return p;
}

// Limited-range BT.601, double precision.
void Reference(int y, int u, int v, double* r, double* g, double* b) {
    const double ys = 1.164383 * (y - 16);
    *r = std::clamp(ys + 1.596027 * (v - 128), 0.0, 255.0);
    *g = std::clamp(ys - 0.391762 * (u - 128) - 0.812968 * (v - 128), 0.0, 255.0);
    *b = std::clamp(ys + 2.017232 * (u - 128), 0.0, 255.0);
}

int ChromaAt(const Planes& p, const std::vector<uint8_t>& plane, int x, int y) {
    const int cw = p.width / 2, ch = p.height / 2;
    return plane[std::min(y / 2, ch - 1) * cw + std::min(x / 2, cw - 1)];
}

class Rgb32 : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(Rgb32, MatchesBt601AndNeverWritesPastItsRows) {
    const auto [w, h] = GetParam();
    const Planes p = Random(w, h, 3);
    const int stride = w * 4 + 12;
    std::vector<uint8_t> out(static_cast<size_t>(stride) * h + 64, 0xAB);
    qx::YuvToRgb32(p.y.data(), w, p.u.data(), w / 2, p.v.data(), w / 2,
                   qx::RgbTarget{out.data(), stride, w, h});
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const uint8_t* px = &out[static_cast<size_t>(y) * stride + 4 * x];
            double r, g, b;
            Reference(p.y[y * w + x], ChromaAt(p, p.u, x, y), ChromaAt(p, p.v, x, y), &r, &g, &b);
            ASSERT_NEAR(px[2], r, 3) << x << "," << y;
            ASSERT_NEAR(px[1], g, 3) << x << "," << y;
            ASSERT_NEAR(px[0], b, 3) << x << "," << y;
            ASSERT_EQ(px[3], 0xFF);
        }
        for (int pad = w * 4; pad < stride; ++pad)
            ASSERT_EQ(out[static_cast<size_t>(y) * stride + pad], 0xAB) << "row padding written";
    }
    EXPECT_EQ(out.back(), 0xAB);
}

TEST_P(Rgb32, Rgb565AgreesWithRgb32) {
    const auto [w, h] = GetParam();
    const Planes p = Random(w, h, 9);
    std::vector<uint8_t> rgb32(static_cast<size_t>(w) * h * 4);
    qx::YuvToRgb32(p.y.data(), w, p.u.data(), w / 2, p.v.data(), w / 2,
                   qx::RgbTarget{rgb32.data(), w * 4, w, h});
    const int pitch = w * 2 + 6;
    std::vector<uint8_t> rgb565(static_cast<size_t>(pitch) * h, 0xCD);
    qx::YuvToRgb565(p.y.data(), p.u.data(), p.v.data(), w, h, rgb565.data(), pitch);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const uint8_t* c = &rgb32[(static_cast<size_t>(y) * w + x) * 4];
            const uint16_t px = static_cast<uint16_t>(rgb565[y * pitch + 2 * x] |
                                                      rgb565[y * pitch + 2 * x + 1] << 8);
            ASSERT_EQ(px >> 11, c[2] >> 3) << x << "," << y;
            ASSERT_EQ((px >> 5) & 63, c[1] >> 2) << x << "," << y;
            ASSERT_EQ(px & 31, c[0] >> 3) << x << "," << y;
        }
        ASSERT_EQ(rgb565[y * pitch + 2 * w], 0xCD) << "pitch padding written";
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Rgb32,
                         testing::Values(std::pair{64, 4}, std::pair{352, 288}, std::pair{37, 11},
                                         std::pair{18, 3}, std::pair{2, 2}));

TEST(Rgb32, VectorPartEqualsTheScalarFormula) {
    // A row of 16 goes through the vector part; the same samples one by one through the
    // scalar formula.
    Planes p = Random(16, 2, 21);
    std::vector<uint8_t> out(16 * 2 * 4);
    qx::YuvToRgb32(p.y.data(), 16, p.u.data(), 8, p.v.data(), 8,
                   qx::RgbTarget{out.data(), 64, 16, 2});
    for (int x = 0; x < 16; ++x) {
        uint8_t r, g, b;
        qx::YuvPixelToRgb(p.y[x], p.u[x / 2], p.v[x / 2], &r, &g, &b);
        EXPECT_NEAR(out[4 * x + 2], r, 2);
        EXPECT_NEAR(out[4 * x + 1], g, 2);
        EXPECT_NEAR(out[4 * x], b, 2);
    }
}

TEST(Rgb32, GreyIsGreyAndY16IsBlack) {
    for (int luma : {16, 100, 235}) {
        Planes p(32, 2);
        std::fill(p.y.begin(), p.y.end(), luma);
        std::fill(p.u.begin(), p.u.end(), 128);
        std::fill(p.v.begin(), p.v.end(), 128);
        std::vector<uint8_t> out(32 * 2 * 4);
        qx::YuvToRgb32(p.y.data(), 32, p.u.data(), 16, p.v.data(), 16,
                       qx::RgbTarget{out.data(), 128, 32, 2});
        for (int x = 0; x < 64; ++x) {
            EXPECT_EQ(out[4 * x], out[4 * x + 1]);
            EXPECT_EQ(out[4 * x + 1], out[4 * x + 2]);
        }
        if (luma == 16) {
            EXPECT_EQ(out[0], 0);
        }
    }
}

TEST(Rgb24, Bt601GreenComesOutGreen) {
    Planes p(2, 2);
    std::fill(p.y.begin(), p.y.end(), 145);
    p.u[0] = 54;
    p.v[0] = 34;
    std::vector<uint8_t> out(12);
    ASSERT_TRUE(qx::YuvToRgb24(p.y.data(), p.v.data(), p.u.data(), out.data(), 2, 2));
    // Studio-range green expands to the full range, as the window shows it.
    EXPECT_NEAR(out[0], 0, 2);
    EXPECT_NEAR(out[1], 255, 2);
    EXPECT_NEAR(out[2], 1, 2);
}

TEST(Rgb24, RefusesWhatHasNoChroma) {
    Planes p(4, 4);
    std::vector<uint8_t> out(64, 0x77);
    EXPECT_FALSE(qx::YuvToRgb24(p.y.data(), p.v.data(), p.u.data(), out.data(), 1, 4));
    EXPECT_FALSE(qx::YuvToRgb24(p.y.data(), nullptr, p.u.data(), out.data(), 4, 4));
    EXPECT_EQ(out[0], 0x77);
}

TEST(Rgb24, BottomUpAndTableFormAgreeOnOddSizes) {
    const Planes p = Random(9, 7, 4);
    std::vector<uint8_t> bottomUp(9 * 7 * 3), table(9 * 7 * 3);
    ASSERT_TRUE(qx::YuvToRgb24(p.y.data(), p.v.data(), p.u.data(), bottomUp.data(), 9, 7));
    qx::YuvToRgb24Table(p.y.data(), p.v.data(), p.u.data(), table.data(), 9, 7);
    for (int y = 0; y < 7; ++y) {
        for (int x = 0; x < 9; ++x) {
            const uint8_t* a = &bottomUp[((6 - y) * 9 + x) * 3];  // R, G, B
            const uint8_t* t = &table[(y * 9 + x) * 3];           // B, G, R
            double r, g, b;
            Reference(p.y[y * 9 + x], ChromaAt(p, p.u, x, y), ChromaAt(p, p.v, x, y), &r, &g, &b);
            EXPECT_NEAR(t[2], r, 2);
            EXPECT_NEAR(t[0], b, 2);
            EXPECT_NEAR(a[0], r, 2);
            EXPECT_NEAR(a[1], g, 2);
            EXPECT_NEAR(a[2], b, 2);
        }
    }
}

TEST(Adjust, NeutralValuesLeaveThePictureAndSmallPicturesKeepTheirLastRows) {
    Planes p = Random(176, 128, 8);
    std::vector<uint8_t> picture(p.y);
    picture.insert(picture.end(), p.v.begin(), p.v.end());
    picture.insert(picture.end(), p.u.begin(), p.u.end());
    const std::vector<uint8_t> before = picture;
    qx::AdjustColor(picture.data(), 176, 128, 0, 64, 128, 0);
    EXPECT_EQ(picture, before);
    qx::AdjustColor(picture.data(), 176, 128, 40, 20, 200, 90);
    EXPECT_NE(picture, before);
    EXPECT_TRUE(std::equal(picture.begin() + 176 * 120, picture.begin() + 176 * 128,
                           before.begin() + 176 * 120));
    // Out-of-range values are clamped rather than overflowing.
    qx::AdjustColor(picture.data(), 176, 128, 100000, -5, 99999, 720);
}

}  // namespace
