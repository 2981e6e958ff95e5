// The pixel converters against double-precision BT.601 and against each other.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <random>
#include <vector>

#include "render/PixelConvert.h"

namespace {

struct Planes {
    int width, height;
    std::vector<uint8_t> y, u, v;
    Planes(int w, int h, uint32_t seed) : width(w), height(h), y(w * h), u(w / 2 * (h / 2)), v(u) {
        std::mt19937 rng(seed);
        for (auto* plane : {&y, &u, &v})
            for (auto& s : *plane)
                s = static_cast<uint8_t>(16 + rng() % (plane == &y ? 220 : 225));
    }
    // Odd sizes reuse the last chroma column and row.
    int Chroma(int x, int row) const {
        return std::min(row / 2, height / 2 - 1) * (width / 2) + std::min(x / 2, width / 2 - 1);
    }
    // Limited-range BT.601 of pixel (x, y) in double precision: R, G, B.
    std::array<double, 3> Reference(int x, int row) const {
        const int c = Chroma(x, row);
        const double ys = 1.164383 * (y[row * width + x] - 16), du = u[c] - 128, dv = v[c] - 128;
        return {std::clamp(ys + 1.596027 * dv, 0.0, 255.0),
                std::clamp(ys - 0.391762 * du - 0.812968 * dv, 0.0, 255.0),
                std::clamp(ys + 2.017232 * du, 0.0, 255.0)};
    }
};

class Rgb32 : public testing::TestWithParam<std::pair<int, int>> {};

// Sixteen pixels at a time go through SSE2, the rest of a row and odd sizes through the
// scalar formula.
TEST_P(Rgb32, MatchesBt601AndRgb565AgreesWithoutWritingPastTheRows) {
    const auto [w, h] = GetParam();
    const Planes p(w, h, 3);
    const int stride = w * 4 + 12;
    std::vector<uint8_t> out(static_cast<size_t>(stride) * h + 64, 0xAB);
    qx::YuvToRgb32(p.y.data(), w, p.u.data(), w / 2, p.v.data(), w / 2,
                   qx::RgbTarget{out.data(), stride, w, h});
    const int pitch = w * 2 + 6;
    std::vector<uint8_t> rgb565(static_cast<size_t>(pitch) * h, 0xCD);
    qx::YuvToRgb565(p.y.data(), w, p.u.data(), w / 2, p.v.data(), w / 2,
                    qx::RgbTarget{rgb565.data(), pitch, w, h});
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const uint8_t* px = &out[static_cast<size_t>(y) * stride + 4 * x];
            const std::array<double, 3> want = p.Reference(x, y);
            std::array<uint8_t, 3> scalar;
            const int chroma = p.Chroma(x, y);
            qx::YuvPixelToRgb(p.y[y * w + x], p.u[chroma], p.v[chroma], &scalar[0], &scalar[1],
                              &scalar[2]);
            const int c = rgb565[y * pitch + 2 * x] | rgb565[y * pitch + 2 * x + 1] << 8;
            const int shift[] = {11, 5, 0}, bits[] = {5, 6, 5};
            for (int k = 0; k < 3; ++k) {  // R, G, B: bytes 2, 1, 0
                ASSERT_NEAR(px[2 - k], want[k], 3) << x << "," << y;
                // SSE2 and the scalar formula differ in rounding only.
                ASSERT_LE(std::abs(px[2 - k] - scalar[k]), 2) << x << "," << y;
                ASSERT_EQ((c >> shift[k]) & ((1 << bits[k]) - 1), px[2 - k] >> (8 - bits[k]))
                    << "RGB565 " << x << "," << y;
            }
            ASSERT_EQ(px[3], 0xFF);
        }
        for (int pad = w * 4; pad < stride; ++pad)
            ASSERT_EQ(out[static_cast<size_t>(y) * stride + pad], 0xAB) << "row padding written";
        ASSERT_EQ(rgb565[y * pitch + 2 * w], 0xCD) << "pitch padding written";
    }
    EXPECT_EQ(out.back(), 0xAB);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Rgb32,
                         testing::Values(std::pair{64, 4}, std::pair{352, 288}, std::pair{37, 11},
                                         std::pair{18, 3}, std::pair{2, 2}));

// Exactly grey, which the tolerance above would not see, through SSE2 and the rest.
TEST(Rgb32, GreyIsGreyAndY16IsBlack) {
    for (int luma : {16, 100, 235}) {
        const std::vector<uint8_t> y(40 * 2, luma), chroma(20, 128);
        std::vector<uint8_t> out(40 * 2 * 4);
        qx::YuvToRgb32(y.data(), 40, chroma.data(), 20, chroma.data(), 20,
                       qx::RgbTarget{out.data(), 160, 40, 2});
        for (size_t i = 0; i < out.size(); i += 4) {
            ASSERT_TRUE(out[i] == out[i + 1] && out[i + 1] == out[i + 2]) << luma << " at " << i;
            ASSERT_NEAR(out[i], 1.164383 * (luma - 16), luma == 16 ? 0 : 1) << luma << " at " << i;
        }
    }
}

TEST(Rgb24, Bt601GreenComesOutGreenAndNoChromaIsRefused) {
    const std::vector<uint8_t> y(16, 145), u(4, 54), v(4, 34);
    std::vector<uint8_t> out(64, 0x77);
    EXPECT_FALSE(qx::YuvToRgb24(y.data(), v.data(), u.data(), out.data(), 1, 4));
    EXPECT_FALSE(qx::YuvToRgb24(y.data(), nullptr, u.data(), out.data(), 4, 4));
    EXPECT_EQ(out[0], 0x77);
    ASSERT_TRUE(qx::YuvToRgb24(y.data(), v.data(), u.data(), out.data(), 2, 2));
    // Studio-range green expands to the full range, as the window shows it.
    EXPECT_NEAR(out[0], 0, 2);
    EXPECT_NEAR(out[1], 255, 2);
    EXPECT_NEAR(out[2], 1, 2);
}

TEST(Rgb24, BottomUpAndTableFormAgreeOnOddSizes) {
    const Planes p(9, 7, 4);
    std::vector<uint8_t> bottomUp(9 * 7 * 3), table(9 * 7 * 3);
    ASSERT_TRUE(qx::YuvToRgb24(p.y.data(), p.v.data(), p.u.data(), bottomUp.data(), 9, 7));
    qx::YuvToRgb24Table(p.y.data(), p.v.data(), p.u.data(), table.data(), 9, 7);
    for (int y = 0; y < 7; ++y) {
        for (int x = 0; x < 9; ++x) {
            const uint8_t* a = &bottomUp[((6 - y) * 9 + x) * 3];  // R, G, B
            const uint8_t* t = &table[(y * 9 + x) * 3];           // B, G, R
            const std::array<double, 3> want = p.Reference(x, y);
            for (int k = 0; k < 3; ++k) {
                EXPECT_NEAR(a[k], want[k], 2) << x << "," << y;
                EXPECT_NEAR(t[2 - k], want[k], 2) << x << "," << y;
            }
        }
    }
}

TEST(Adjust, NeutralValuesLeaveThePictureAndSmallPicturesKeepTheirLastRows) {
    std::vector<uint8_t> picture(176 * 128 * 3 / 2);
    std::generate(picture.begin(), picture.end(), std::mt19937(8));
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
