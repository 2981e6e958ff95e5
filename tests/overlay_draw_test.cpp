// The overlay drawing primitives: exact pixels, thickness, label and arrowhead placement,
// and clipping against planes surrounded by guard bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "render/OverlayDraw.h"

namespace {

using Points = std::set<std::pair<int, int>>;

constexpr uint32_t kColour = qx::OverlayColour(200, 90, 60);  // Y, V, U
constexpr size_t kGuard = 64;
constexpr unsigned char kGuardByte = 0xA5;

// Three planes of exactly the sizes the primitives are promised, zeroed, each between
// two runs of guard bytes; ASan catches whatever overshoots the guards.
struct Picture {
    int w, h;
    std::vector<unsigned char> y, u, v;
    Picture(int width, int height)
        : w(width), h(height), y(Sized(w * h)), u(Sized(w / 2 * (h / 2))), v(u) {}
    static std::vector<unsigned char> Sized(int n) {
        std::vector<unsigned char> plane(n + 2 * kGuard, kGuardByte);
        std::fill(plane.begin() + kGuard, plane.end() - kGuard, 0);
        return plane;
    }
    qx::YuvPlanes Planes() { return {&y[kGuard], &u[kGuard], &v[kGuard], w, h}; }
    static Points Lit(const std::vector<unsigned char>& plane, int pw, int ph, int value) {
        Points lit;
        for (int r = 0; r < ph; ++r)
            for (int c = 0; c < pw; ++c)
                if (plane[kGuard + r * pw + c] != 0) {
                    EXPECT_EQ(plane[kGuard + r * pw + c], value) << c << "," << r;
                    lit.insert({c, r});
                }
        return lit;
    }
    Points Luma() const { return Lit(y, w, h, 200); }
    Points ChromaU() const { return Lit(u, w / 2, h / 2, 60); }
    Points ChromaV() const { return Lit(v, w / 2, h / 2, 90); }
    bool GuardsIntact() const {
        for (const auto* plane : {&y, &u, &v})
            for (size_t i = 0; i < kGuard; ++i)
                if ((*plane)[i] != kGuardByte || (*plane)[plane->size() - 1 - i] != kGuardByte)
                    return false;
        return true;
    }
    bool AnyLitNear(int x, int yy, int radius) const {
        for (const auto& p : Luma())
            if (std::abs(p.first - x) <= radius && std::abs(p.second - yy) <= radius)
                return true;
        return false;
    }
};

Points Rect(int x0, int y0, int x1, int y1) {
    Points r;
    for (int yy = y0; yy <= y1; ++yy)
        for (int x = x0; x <= x1; ++x)
            r.insert({x, yy});
    return r;
}

Points operator+(Points a, const Points& b) {
    a.insert(b.begin(), b.end());
    return a;
}

Points Line(int x, int y, int dx, int dy, int count) {
    Points r;
    for (int k = 0; k < count; ++k)
        r.insert({x + k * dx, y + k * dy});
    return r;
}

TEST(FillBlock, WritesSquareAndChromaFromEvenRowsAtHalvedCorner) {
    Picture pic(16, 8);
    qx::FillBlock(pic.Planes(), 3, 1, kColour, 4);
    EXPECT_EQ(pic.Luma(), Rect(3, 1, 6, 4));
    // Rows 2 and 4 are the even ones; columns 3/2 + j/2 give 1 and 2, not (3 + j)/2.
    EXPECT_EQ(pic.ChromaU(), Rect(1, 1, 2, 2));
    EXPECT_EQ(pic.ChromaV(), Rect(1, 1, 2, 2));
}

TEST(FillBlock, ClipsToLumaAndChromaPlanes) {
    Picture a(8, 6);
    qx::FillBlock(a.Planes(), -2, -3, kColour, 4);
    EXPECT_EQ(a.Luma(), (Points{{0, 0}, {1, 0}}));
    EXPECT_EQ(a.ChromaU(), (Points{{0, 0}}));

    // 7 x 5 has 3 x 2 chroma: luma column 6 and row 4 have no chroma sample of their own.
    Picture b(7, 5);
    qx::FillBlock(b.Planes(), 6, 0, kColour, 1);
    qx::FillBlock(b.Planes(), 0, 4, kColour, 1);
    EXPECT_EQ(b.Luma(), (Points{{6, 0}, {0, 4}}));
    EXPECT_TRUE(b.ChromaU().empty());
    qx::FillBlock(b.Planes(), 5, 2, kColour, 3);
    EXPECT_EQ(b.ChromaV(), (Points{{2, 1}}));

    Picture c(7, 5);
    qx::FillBlock(c.Planes(), 3, 3, kColour, 0);
    qx::FillBlock(c.Planes(), 3, 3, kColour, -4);
    qx::FillBlock(c.Planes(), INT_MIN, INT_MIN, kColour, INT_MAX);
    qx::FillBlock(c.Planes(), INT_MAX, 0, kColour, INT_MAX);
    EXPECT_TRUE(c.Luma().empty());
    qx::FillBlock(c.Planes(), -100, -100, kColour, 1000);
    EXPECT_EQ(c.Luma(), Rect(0, 0, 6, 4));
    EXPECT_EQ(c.ChromaU(), Rect(0, 0, 2, 1));
    EXPECT_TRUE(a.GuardsIntact() && b.GuardsIntact() && c.GuardsIntact());
}

TEST(DrawGlyph, DrawsSetBitsTopBitFirstWithRoundedUpRowBytes) {
    Picture pic(32, 32);
    const unsigned char bits[] = {0x80, 0x40, 0x01, 0xC0};  // 2 rows of 10 pixels
    qx::DrawGlyph(pic.Planes(), 2, 10, bits, 3, 2, kColour);
    EXPECT_EQ(pic.Luma(), (Points{{3, 2}, {12, 2}, {10, 3}, {11, 3}, {12, 3}}));

    Picture a(32, 32), b(32, 32);
    qx::DrawGlyph(a.Planes(), qx::kGlyphRows, qx::kGlyphPixelsPerRow, qx::kGlyphA, 0, 0, kColour);
    qx::DrawGlyph(b.Planes(), qx::kGlyphRows, qx::kGlyphPixelsPerRow, qx::kGlyphB, 0, 0, kColour);
    const auto row = [](const Points& lit, int r) {
        Points out;
        for (const auto& p : lit)
            if (p.second == r)
                out.insert(p);
        return out;
    };
    EXPECT_TRUE(row(a.Luma(), 0).empty());
    EXPECT_EQ(row(a.Luma(), 1), Rect(11, 1, 15, 1));    // 001F0000
    EXPECT_EQ(row(a.Luma(), 20), Rect(4, 20, 22, 20));  // 0FFFFE00
    EXPECT_EQ(row(b.Luma(), 1), Rect(4, 1, 16, 1));     // 0FFF8000
    EXPECT_EQ(row(b.Luma(), 30), Rect(4, 30, 17, 30));  // 0FFFC000
}

TEST(DrawThickLine, ThicknessFollowsPictureWidth) {
    for (const auto& [width, t] :
         std::vector<std::pair<int, int>>{{352, 1}, {704, 2}, {1055, 2}, {1920, 5}}) {
        Picture pic(width, 40);
        qx::DrawThickLine(pic.Planes(), 10, 20, 300, 20, kColour);
        EXPECT_EQ(pic.Luma(), Rect(10, 20, 300 + t - 1, 20 + t - 1)) << width;
    }
}

TEST(DrawThickLine, ThinsAtRightAndBottomEdges) {
    Picture pic(704, 40);
    qx::DrawThickLine(pic.Planes(), 600, 10, 702, 10, kColour);  // 702 + 2 reaches W
    qx::DrawThickLine(pic.Planes(), 600, 20, 703, 20, kColour);  // rule gives 0: still 1 px
    qx::DrawThickLine(pic.Planes(), 10, 38, 100, 38, kColour);   // 38 + 2 reaches H
    EXPECT_EQ(pic.Luma(), Rect(600, 10, 702, 10) + Rect(600, 20, 703, 20) + Rect(10, 38, 100, 38));
}

TEST(DrawThickLine, CoversExactPixelsInEveryDirection) {
    const auto draw = [](int x0, int y0, int x1, int y1) {
        Picture pic(352, 64);  // 1 pixel thick
        qx::DrawThickLine(pic.Planes(), x0, y0, x1, y1, kColour);
        return pic.Luma();
    };
    EXPECT_EQ(draw(40, 7, 5, 7), Rect(5, 7, 40, 7));
    EXPECT_EQ(draw(9, 30, 9, 3), Rect(9, 3, 9, 30));
    EXPECT_EQ(draw(20, 21, 2, 3), Line(2, 3, 1, 1, 19));
    EXPECT_EQ(draw(2, 21, 20, 3), Line(2, 21, 1, -1, 19));
    EXPECT_EQ(draw(5, 5, 5, 5), (Points{{5, 5}}));

    // Shallow and steep: one pixel per step of the major axis, within half a pixel of the line.
    const Points shallow = draw(10, 5, 0, 0);
    EXPECT_EQ(shallow.size(), 11u);
    EXPECT_TRUE(shallow.count({0, 0}) && shallow.count({10, 5}));
    for (const auto& [x, y] : shallow)
        EXPECT_LE(std::abs(2 * y - x), 1) << x << "," << y;
    const Points steep = draw(30, 0, 33, 12);
    EXPECT_EQ(steep.size(), 13u);
    EXPECT_TRUE(steep.count({30, 0}) && steep.count({33, 12}));
    for (const auto& [x, y] : steep)
        EXPECT_LE(std::abs(4 * (x - 30) - y), 2) << x << "," << y;
}

// The labelled line must equal the plain line plus the two letters at the given corners.
void ExpectLabels(int w, int h, int x0, int y0, int x1, int y1, int ax, int ay, int bx, int by) {
    Picture got(w, h), want(w, h);
    qx::DrawLabelledLine(got.Planes(), x0, y0, x1, y1, kColour);
    qx::DrawThickLine(want.Planes(), x0, y0, x1, y1, kColour);
    qx::DrawGlyph(want.Planes(), qx::kGlyphRows, qx::kGlyphPixelsPerRow, qx::kGlyphA, ax, ay,
                  kColour);
    qx::DrawGlyph(want.Planes(), qx::kGlyphRows, qx::kGlyphPixelsPerRow, qx::kGlyphB, bx, by,
                  kColour);
    EXPECT_TRUE(got.y == want.y && got.u == want.u && got.v == want.v)
        << "line " << x0 << "," << y0 << " - " << x1 << "," << y1;
}

TEST(DrawLabelledLine, PutsAAndBOnOppositeSidesOfTheMiddle) {
    // Start 0 halves to 160, 240, 280 (within 62 of the middle 320); turned by 90 and 270.
    ExpectLabels(704, 576, 0, 100, 640, 100, 320, 60, 320, 140);
    ExpectLabels(704, 576, 100, 100, 100, 300, 150, 200, 50, 200);

    Picture pic(704, 576);
    qx::DrawLabelledLine(pic.Planes(), 0, 100, 640, 100, kColour);
    const Points lit = pic.Luma();
    EXPECT_TRUE(lit.count({320 + 11, 61}) && lit.count({320 + 15, 61}));   // A above
    EXPECT_TRUE(lit.count({320 + 4, 141}) && lit.count({320 + 16, 141}));  // B below
}

TEST(DrawLabelledLine, MovesLettersInsideThePicture) {
    ExpectLabels(352, 288, 340, 100, 340, 160, 321, 130, 321, 130);  // right: W - 31
    ExpectLabels(352, 288, 100, 280, 160, 280, 130, 257, 130, 257);  // bottom: H - 31
    ExpectLabels(352, 288, 10, 5, 70, 5, 40, 0, 40, 20);             // above the top
    ExpectLabels(352, 288, 5, 100, 5, 160, 20, 130, 0, 130);         // left of the left edge
}

TEST(DrawArrowLine, HeadStrokesEndNearPredictedPoints) {
    Picture flat(352, 288);
    qx::DrawArrowLine(flat.Planes(), 100, 100, 200, 100, kColour);
    EXPECT_TRUE(flat.AnyLitNear(180, 80, 1) && flat.AnyLitNear(180, 120, 1));
    EXPECT_TRUE(flat.AnyLitNear(190, 90, 1) && flat.AnyLitNear(190, 110, 1));
    for (const auto& [x, y] : flat.Luma()) {
        EXPECT_LE(x, 200);  // the head points back along the line, not past its end
        EXPECT_TRUE(y == 100 || (x >= 179 && y >= 79 && y <= 121)) << x << "," << y;
    }

    Picture diagonal(352, 288);
    qx::DrawArrowLine(diagonal.Planes(), 0, 0, 100, 100, kColour);
    EXPECT_TRUE(diagonal.AnyLitNear(100, 72, 1) && diagonal.AnyLitNear(72, 100, 1));
    for (const auto& [x, y] : diagonal.Luma())
        EXPECT_TRUE(x <= 100 && y <= 100) << x << "," << y;
}

TEST(OverlayClipping, LinesOutsideThePictureAreClippedNotShifted) {
    Picture pic(64, 48);
    qx::DrawThickLine(pic.Planes(), -50, -50, 30, 30, kColour);
    EXPECT_EQ(pic.Luma(), Line(0, 0, 1, 1, 31));

    Picture far(64, 48);
    qx::DrawThickLine(far.Planes(), INT_MIN, 5, INT_MAX, 5, kColour);
    qx::DrawThickLine(far.Planes(), INT_MIN, INT_MIN, INT_MAX, INT_MAX, kColour);
    qx::DrawThickLine(far.Planes(), -100, -100, -10, -90, kColour);
    qx::DrawThickLine(far.Planes(), 1000, 10, 2000, 40, kColour);
    qx::DrawArrowLine(far.Planes(), 5000, 5000, INT_MAX, INT_MIN, kColour);
    EXPECT_EQ(far.Luma(), Rect(0, 5, 63, 5) + Line(0, 0, 1, 1, 48));
    EXPECT_TRUE(pic.GuardsIntact() && far.GuardsIntact());
}

TEST(OverlayClipping, TinyAndOddPicturesWriteNothingOutside) {
    for (const auto& [w, h] :
         std::vector<std::pair<int, int>>{{20, 20}, {7, 5}, {1, 1}, {30, 2}, {31, 31}, {2, 33}}) {
        Picture pic(w, h);
        const qx::YuvPlanes p = pic.Planes();
        qx::DrawThickLine(p, 0, 0, w - 1, h - 1, kColour);
        EXPECT_TRUE(pic.Luma().count({0, 0}) && pic.Luma().count({w - 1, h - 1})) << w << "x" << h;
        qx::DrawLabelledLine(p, 0, 0, w - 1, h - 1, kColour);
        qx::DrawLabelledLine(p, w - 1, 0, 0, h - 1, kColour);
        qx::DrawLabelledLine(p, -40, h + 40, w + 40, -40, kColour);
        qx::DrawArrowLine(p, w - 1, h - 1, 0, 0, kColour);
        qx::DrawArrowLine(p, 0, 0, w - 1, h - 1, kColour);
        qx::DrawArrowLine(p, w / 2, -30, w / 2, h + 30, kColour);
        qx::DrawGlyph(p, qx::kGlyphRows, qx::kGlyphPixelsPerRow, qx::kGlyphA, -10, -10, kColour);
        qx::DrawGlyph(p, qx::kGlyphRows, qx::kGlyphPixelsPerRow, qx::kGlyphB, w - 3, h - 3,
                      kColour);
        EXPECT_TRUE(pic.GuardsIntact()) << w << "x" << h;
    }
}

// The host's rectangles: border thickness by picture width, far edges pulled inside.
TEST(DrawRectangle, BordersThickenWithThePictureWidth) {
    Picture narrow(352, 288);
    qx::DrawRectangle(narrow.Planes(), 10, 20, 30, 40, kColour);
    EXPECT_EQ(narrow.Luma(), Rect(10, 20, 40, 20) + Rect(10, 60, 40, 60) + Rect(10, 20, 10, 60) +
                                 Rect(40, 20, 40, 60));
    // Chroma of even rows only, at half resolution.
    EXPECT_TRUE(narrow.ChromaV().count({5, 10}));
    EXPECT_TRUE(narrow.ChromaU().count({20, 30}));
    EXPECT_FALSE(narrow.ChromaV().count({8, 15})) << "inside the frame";

    Picture wide(1408, 64);
    qx::DrawRectangle(wide.Planes(), 100, 4, 200, 40, kColour);
    EXPECT_EQ(wide.Luma(), Rect(100, 4, 303, 7) + Rect(100, 44, 303, 47) + Rect(100, 4, 103, 47) +
                               Rect(300, 4, 303, 47));
    EXPECT_TRUE(narrow.GuardsIntact() && wide.GuardsIntact());
}

TEST(DrawRectangle, FarEdgesStayInsideAndAnyGeometryIsSafe) {
    Picture pic(704, 64);
    // t = 2: the right edge is pulled in to columns 701..702, one short of the last.
    qx::DrawRectangle(pic.Planes(), 700, 10, 100, 20, kColour);
    const Points lit = pic.Luma();
    ASSERT_FALSE(lit.empty());
    int right = 0;
    for (const auto& p : lit)
        right = std::max(right, p.first);
    EXPECT_EQ(right, 702);
    EXPECT_LT(right, 704);
    for (const auto& [x, y, w, h] :
         std::vector<std::tuple<int, int, int, int>>{{INT_MIN, INT_MIN, INT_MAX, INT_MAX},
                                                     {INT_MAX, INT_MAX, INT_MAX, INT_MAX},
                                                     {-50, -50, 20, 20},
                                                     {0, 0, 0, 0},
                                                     {0, 0, -10, -10},
                                                     {5, 60, 800, 800},
                                                     {-10, 10, INT_MIN, 5}}) {
        qx::DrawRectangle(pic.Planes(), x, y, w, h, kColour);
    }
    Picture tiny(1, 1);
    qx::DrawRectangle(tiny.Planes(), 0, 0, 1, 1, kColour);
    EXPECT_TRUE(pic.GuardsIntact() && tiny.GuardsIntact());
}

}  // namespace
