// The overlay drawing primitives: exact pixels, thickness, label and arrowhead placement,
// and clipping against planes surrounded by guard bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <iterator>
#include <set>
#include <utility>
#include <vector>

#include "render/OverlayDraw.h"

namespace {

using Points = std::set<std::pair<int, int>>;

constexpr uint32_t kColour = qx::OverlayColour(200, 90, 60);  // Y, V, U
constexpr int kGuard = 64;

// Three zeroed planes of exactly the sizes the primitives are promised, each between two
// runs of guard bytes that must still be zero when the picture goes (no colour here is
// zero); ASan catches whatever overshoots the guards.
struct Picture {
    int w, h;
    std::vector<unsigned char> y, u, v;
    Picture(int width, int height)
        : w(width), h(height), y(w * h + 2 * kGuard), u(w / 2 * (h / 2) + 2 * kGuard), v(u) {}
    ~Picture() {
        for (const auto* p : {&y, &u, &v})
            for (int i = 0; i < kGuard; ++i)
                EXPECT_TRUE((*p)[i] == 0 && (*p)[p->size() - 1 - i] == 0) << w << " x " << h;
    }
    qx::YuvPlanes Planes() { return {&y[kGuard], &u[kGuard], &v[kGuard], w, h}; }
    Picture& Block(int x, int y, int size) {
        qx::FillBlock(Planes(), x, y, kColour, size);
        return *this;
    }
    Picture& Line(int x0, int y0, int x1, int y1) {
        qx::DrawThickLine(Planes(), x0, y0, x1, y1, kColour);
        return *this;
    }
    Picture& Glyph(const unsigned char* bitmap, int x, int y) {
        qx::DrawGlyph(Planes(), qx::kGlyphRows, qx::kGlyphPixelsPerRow, bitmap, x, y, kColour);
        return *this;
    }
    // The samples drawn on, each of which must hold the colour's value for its plane.
    static Points Lit(const std::vector<unsigned char>& plane, int rowLength, int value) {
        Points lit;
        for (int i = 0; i + 2 * kGuard < static_cast<int>(plane.size()); ++i)
            if (plane[kGuard + i] != 0)
                lit.insert({i % rowLength, i / rowLength});
        EXPECT_EQ(static_cast<size_t>(std::count(plane.begin(), plane.end(), value)), lit.size());
        return lit;
    }
    Points Luma() const { return Lit(y, w, 200); }
    // U and V are always written together.
    Points Chroma() const {
        EXPECT_EQ(Lit(v, w / 2, 90), Lit(u, w / 2, 60));
        return Lit(u, w / 2, 60);
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

// The four edges of a rectangle frame, t thick, with outer corners (x0, y0), (x1, y1).
Points Frame(int x0, int y0, int x1, int y1, int t) {
    return Rect(x0, y0, x1, y0 + t - 1) + Rect(x0, y1 - t + 1, x1, y1) +
           Rect(x0, y0, x0 + t - 1, y1) + Rect(x1 - t + 1, y0, x1, y1);
}

TEST(OverlayDraw, BlocksGlyphsAndRectanglesWriteExactSamplesClippedToThePlanes) {
    Picture pic(16, 8);
    EXPECT_EQ(pic.Block(3, 1, 4).Luma(), Rect(3, 1, 6, 4));
    // Rows 2 and 4 are the even ones; columns 3/2 + j/2 give 1 and 2, not (3 + j)/2.
    EXPECT_EQ(pic.Chroma(), Rect(1, 1, 2, 2));

    Picture a(8, 6);
    EXPECT_EQ(a.Block(-2, -3, 4).Luma(), (Points{{0, 0}, {1, 0}}));
    EXPECT_EQ(a.Chroma(), (Points{{0, 0}}));

    // 7 x 5 has 3 x 2 chroma: luma column 6 and row 4 have no chroma sample of their own.
    Picture b(7, 5);
    EXPECT_EQ(b.Block(6, 0, 1).Block(0, 4, 1).Luma(), (Points{{6, 0}, {0, 4}}));
    EXPECT_TRUE(b.Chroma().empty());
    EXPECT_EQ(b.Block(5, 2, 3).Chroma(), (Points{{2, 1}}));

    Picture c(7, 5);
    c.Block(3, 3, 0).Block(3, 3, -4).Block(INT_MIN, INT_MIN, INT_MAX).Block(INT_MAX, 0, INT_MAX);
    EXPECT_TRUE(c.Luma().empty());
    EXPECT_EQ(c.Block(-100, -100, 1000).Luma(), Rect(0, 0, 6, 4));
    EXPECT_EQ(c.Chroma(), Rect(0, 0, 2, 1));

    // Set bits top bit first, rows of whole bytes.
    Picture g(32, 32);
    const unsigned char bits[] = {0x80, 0x40, 0x01, 0xC0};  // 2 rows of 10 pixels
    qx::DrawGlyph(g.Planes(), 2, 10, bits, 3, 2, kColour);
    EXPECT_EQ(g.Luma(), (Points{{3, 2}, {12, 2}, {10, 3}, {11, 3}, {12, 3}}));
    // Rows of the letters, each alone on a picture one row high.
    EXPECT_TRUE(Picture(32, 1).Glyph(qx::kGlyphA, 0, 0).Luma().empty());
    EXPECT_EQ(Picture(32, 1).Glyph(qx::kGlyphA, 0, -1).Luma(), Rect(11, 0, 15, 0));  // 001F0000
    EXPECT_EQ(Picture(32, 1).Glyph(qx::kGlyphA, 0, -20).Luma(), Rect(4, 0, 22, 0));  // 0FFFFE00
    EXPECT_EQ(Picture(32, 1).Glyph(qx::kGlyphB, 0, -1).Luma(), Rect(4, 0, 16, 0));   // 0FFF8000
    EXPECT_EQ(Picture(32, 1).Glyph(qx::kGlyphB, 0, -30).Luma(), Rect(4, 0, 17, 0));  // 0FFFC000

    // The host's rectangles: border thickness by picture width, far edges pulled inside.
    Picture narrow(352, 288), wide(1408, 64), edge(704, 64);
    qx::DrawRectangle(narrow.Planes(), 10, 20, 30, 40, kColour);
    EXPECT_EQ(narrow.Luma(), Frame(10, 20, 40, 60, 1));
    // Chroma of even rows only, at half resolution.
    EXPECT_EQ(narrow.Chroma(), Frame(5, 10, 20, 30, 1));
    qx::DrawRectangle(wide.Planes(), 100, 4, 200, 40, kColour);
    EXPECT_EQ(wide.Luma(), Frame(100, 4, 303, 47, 4));
    // t = 2: the right edge is pulled in to columns 701..702, one short of the last.
    qx::DrawRectangle(edge.Planes(), 700, 10, 100, 20, kColour);
    EXPECT_EQ(edge.Luma(), Frame(700, 10, 702, 31, 2));
}

TEST(DrawThickLine, CoversExactPixelsThickerOnWiderPicturesThinnerAtTheFarEdges) {
    // Squares 2 * width / 704 pixels wide, at least 1.
    EXPECT_EQ(Picture(352, 40).Line(10, 20, 300, 20).Luma(), Rect(10, 20, 300, 20));
    EXPECT_EQ(Picture(704, 40).Line(10, 20, 300, 20).Luma(), Rect(10, 20, 301, 21));
    EXPECT_EQ(Picture(1055, 40).Line(10, 20, 300, 20).Luma(), Rect(10, 20, 301, 21));
    EXPECT_EQ(Picture(1920, 40).Line(10, 20, 300, 20).Luma(), Rect(10, 20, 304, 24));
    // 702 + 2 reaches W; at 703 the rule gives 0, still 1 pixel; 38 + 2 reaches H.
    EXPECT_EQ(
        Picture(704, 40).Line(600, 10, 702, 10).Line(600, 20, 703, 20).Line(10, 38, 100, 38).Luma(),
        Rect(600, 10, 702, 10) + Rect(600, 20, 703, 20) + Rect(10, 38, 100, 38));

    EXPECT_EQ(Picture(352, 64).Line(40, 7, 5, 7).Luma(), Rect(5, 7, 40, 7));  // 1 pixel thick
    EXPECT_EQ(Picture(352, 64).Line(9, 30, 9, 3).Luma(), Rect(9, 3, 9, 30));
    EXPECT_EQ(Picture(352, 64).Line(20, 21, 2, 3).Luma(), Line(2, 3, 1, 1, 19));
    EXPECT_EQ(Picture(352, 64).Line(2, 21, 20, 3).Luma(), Line(2, 21, 1, -1, 19));
    EXPECT_EQ(Picture(352, 64).Line(5, 5, 5, 5).Luma(), (Points{{5, 5}}));
    // Outside the picture: clipped, not shifted.
    EXPECT_EQ(Picture(64, 48).Line(-50, -50, 30, 30).Luma(), Line(0, 0, 1, 1, 31));
    Picture far(64, 48);
    far.Line(INT_MIN, 5, INT_MAX, 5).Line(INT_MIN, INT_MIN, INT_MAX, INT_MAX);
    far.Line(-100, -100, -10, -90).Line(1000, 10, 2000, 40);
    qx::DrawArrowLine(far.Planes(), 5000, 5000, INT_MAX, INT_MIN, kColour);
    EXPECT_EQ(far.Luma(), Rect(0, 5, 63, 5) + Line(0, 0, 1, 1, 48));

    // Shallow and steep: one pixel per step of the major axis, within half a pixel of the
    // line, which twice the cross product over the major length measures.
    for (const auto& [x0, y0, x1, y1] : {std::array{10, 5, 0, 0}, std::array{30, 0, 33, 12}}) {
        const Points lit = Picture(352, 64).Line(x0, y0, x1, y1).Luma();
        const int major = std::max(std::abs(x1 - x0), std::abs(y1 - y0));
        EXPECT_EQ(lit.size(), major + 1u);
        EXPECT_TRUE(lit.count({x0, y0}) && lit.count({x1, y1}));
        for (const auto& [x, y] : lit)
            EXPECT_LE(2 * std::abs((x - x0) * (y1 - y0) - (y - y0) * (x1 - x0)), major)
                << x << "," << y;
    }
}

TEST(DrawLabelledAndArrowLines, LettersOnEitherSideOfTheMiddleAndHeadStrokesNearTheirEnds) {
    // w, h, the line, and the corners of A and B. Start 0 halves to 160, 240, 280 (within
    // 62 of the middle 320); turned by 90 and 270. Near an edge the letters move inside.
    const int cases[][10] = {
        {704, 576, 0, 100, 640, 100, 320, 60, 320, 140},
        {704, 576, 100, 100, 100, 300, 150, 200, 50, 200},
        {352, 288, 340, 100, 340, 160, 321, 130, 321, 130},  // right: W - 31
        {352, 288, 100, 280, 160, 280, 130, 257, 130, 257},  // bottom: H - 31
        {352, 288, 10, 5, 70, 5, 40, 0, 40, 20},             // above the top
        {352, 288, 5, 100, 5, 160, 20, 130, 0, 130},         // left of the left edge
    };
    for (const auto& c : cases) {
        Picture got(c[0], c[1]), want(c[0], c[1]);
        qx::DrawLabelledLine(got.Planes(), c[2], c[3], c[4], c[5], kColour);
        want.Line(c[2], c[3], c[4], c[5]).Glyph(qx::kGlyphA, c[6], c[7]);
        want.Glyph(qx::kGlyphB, c[8], c[9]);
        EXPECT_TRUE(got.y == want.y && got.u == want.u && got.v == want.v)
            << "line " << c[2] << "," << c[3] << " - " << c[4] << "," << c[5];
    }

    const auto near = [](const Points& lit, int x, int y) {
        const Points around = Rect(x - 1, y - 1, x + 1, y + 1);
        return std::any_of(around.begin(), around.end(), [&](auto p) { return lit.count(p); });
    };
    Picture flat(352, 288), diagonal(352, 288);
    qx::DrawArrowLine(flat.Planes(), 100, 100, 200, 100, kColour);
    qx::DrawArrowLine(diagonal.Planes(), 0, 0, 100, 100, kColour);
    const Points f = flat.Luma(), d = diagonal.Luma();
    EXPECT_TRUE(near(f, 180, 80) && near(f, 180, 120) && near(f, 190, 90) && near(f, 190, 110));
    EXPECT_TRUE(near(d, 100, 72) && near(d, 72, 100));
    // The head points back along the line, not past its end.
    const Points flatArea = Rect(100, 100, 200, 100) + Rect(179, 79, 200, 121);
    const Points diagonalArea = Rect(0, 0, 100, 100);
    EXPECT_TRUE(std::includes(flatArea.begin(), flatArea.end(), f.begin(), f.end()));
    EXPECT_TRUE(std::includes(diagonalArea.begin(), diagonalArea.end(), d.begin(), d.end()));
}

TEST(OverlayClipping, TinyAndOddPicturesAndFarAwayCoordinatesWriteNothingOutside) {
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{
             {20, 20}, {7, 5}, {1, 1}, {30, 2}, {31, 31}, {2, 33}, {704, 64}}) {
        Picture pic(w, h);
        const Points corners = pic.Line(0, 0, w - 1, h - 1).Luma();
        EXPECT_TRUE(corners.count({0, 0}) && corners.count({w - 1, h - 1})) << w << "x" << h;
        // In fours: two corners of a line, or a rectangle's corner, width and height.
        const int M = INT_MAX, N = INT_MIN;
        const int shapes[] = {
            0,     0, w - 1, h - 1, w - 1, 0,     0,      h - 1, -40, h + 40, w + 40, -40, w - 1,
            h - 1, 0, 0,     w / 2, -30,   w / 2, h + 30, N,     N,   M,      M,      M,   M,
            M,     M, -50,   -50,   20,    20,    0,      0,     0,   0,      0,      0,   -10,
            -10,   5, 60,    800,   800,   -10,   10,     N,     5,   0,      0,      1,   1};
        for (const int* s = shapes; s < std::end(shapes); s += 4) {
            qx::DrawLabelledLine(pic.Planes(), s[0], s[1], s[2], s[3], kColour);
            qx::DrawArrowLine(pic.Planes(), s[0], s[1], s[2], s[3], kColour);
            qx::DrawRectangle(pic.Planes(), s[0], s[1], s[2], s[3], kColour);
        }
        pic.Glyph(qx::kGlyphA, -10, -10).Glyph(qx::kGlyphB, w - 3, h - 3);
    }
}

}  // namespace
