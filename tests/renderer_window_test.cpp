// Both renderers drawing into real X windows: what reaches the window, how they
// follow the window and what they do when it goes away.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "render/CDDrawDisplay.h"
#include "render/D3DRender.h"
#include "render/PixelConvert.h"
#include "render/RendererChoice.h"
#include "streamkit/StreamKit.h"
#include "support/PlaybackHarness.h"
#include "support/XTestWindow.h"

namespace {

struct Yuv {
    int y, u, v;
};

// Four flat quadrants, distinct in every channel.
constexpr Yuv kQuadrants[4] = {{81, 90, 240}, {145, 54, 34}, {41, 240, 110}, {170, 166, 16}};

// The quadrants in planes of width x height samples and their chroma, each row followed
// by `pad` bytes of another colour, as the decoder's own planes are padded.
struct QuadPicture {
    int width, height, strides[3];
    std::vector<uint8_t> y, u, v;
    QuadPicture(int w, int h, int pad = 0)
        : width(w),
          height(h),
          strides{w + pad, w / 2 + pad / 2, w / 2 + pad / 2},
          y(static_cast<size_t>(strides[0]) * h, 0),
          u(static_cast<size_t>(strides[1]) * (h / 2), 255),
          v(u.size(), 255) {
        for (int row = 0; row < h; ++row) {
            for (int column = 0; column < w; ++column)
                y[row * strides[0] + column] = static_cast<uint8_t>(At(column, row).y);
        }
        for (int row = 0; row < h / 2; ++row) {
            for (int column = 0; column < w / 2; ++column) {
                const Yuv& c = At(2 * column, 2 * row);
                u[row * strides[1] + column] = static_cast<uint8_t>(c.u);
                v[row * strides[2] + column] = static_cast<uint8_t>(c.v);
            }
        }
    }
    const Yuv& At(int column, int row) const {
        return kQuadrants[(row >= height / 2 ? 2 : 0) + (column >= width / 2 ? 1 : 0)];
    }
};

bool Render(video_render& renderer, QuadPicture& p, unsigned long window, RenderPoint topLeft = {},
            RenderPoint bottomRight = {}) {
    unsigned char* planes[3] = {p.y.data(), p.u.data(), p.v.data()};
    return renderer.Render(planes, p.strides, p.width, p.height, window, &topLeft, &bottomRight);
}

int ScreenDepth() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr)
        return 0;
    const int depth = DefaultDepth(display, DefaultScreen(display));
    XCloseDisplay(display);
    return depth;
}

bool HaveGl() {
    return std::getenv("DISPLAY") != nullptr && D3DRender::InitD3DSDK() && ProbeD3D();
}

enum class Kind { kGl, kX11 };

std::string KindName(const testing::TestParamInfo<Kind>& info) {
    return info.param == Kind::kGl ? "gl" : "x11";
}

class RendererWindow : public testing::TestWithParam<Kind> {
  protected:
    void SetUp() override {
        if (std::getenv("DISPLAY") == nullptr)
            GTEST_SKIP() << "no X display";
        if (GetParam() == Kind::kGl && !HaveGl())
            GTEST_SKIP() << "no usable GL on this display";
        m_renderer = Make();
        // GL computes in floats; 5/6/5 pixels keep 5 or 6 bits of each channel.
        m_tolerance = (GetParam() == Kind::kGl ? 6 : 2) + (ScreenDepth() == 16 ? 8 : 0);
    }

    std::unique_ptr<video_render> Make() const {
        return GetParam() == Kind::kGl ? std::unique_ptr<video_render>(new D3DRender)
                                       : std::unique_ptr<video_render>(new CDDrawDisplay);
    }

    void ExpectColour(XTestWindow& window, int x, int y, const Yuv& colour) {
        const std::array<int, 3> seen = window.Pixel(x, y);
        uint8_t want[3];
        qx::YuvPixelToRgb(colour.y, colour.u, colour.v, &want[0], &want[1], &want[2]);
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(seen[c], want[c], m_tolerance)
                << "channel " << c << " at " << x << "," << y;
    }

    // The whole client area shows the picture: each of the first `count` quadrants near
    // its own corner.
    void ExpectQuadrants(XTestWindow& window, int width, int height, int count = 4) {
        const int dx = std::max(3, width / 32), dy = std::max(3, height / 32);
        for (int q = 0; q < count; ++q)
            ExpectColour(window, q % 2 ? width - 1 - dx : dx, q / 2 ? height - 1 - dy : dy,
                         kQuadrants[q]);
    }

    std::unique_ptr<video_render> m_renderer;
    int m_tolerance = 0;
};

// Then the window grows, where the first picture after the change may be spent
// rebuilding, and shrinks.
TEST_P(RendererWindow, ShowsEachQuadrantInItsPlaceOverTheClientAreaAsTheWindowChanges) {
    struct Scene {
        int windowWidth, windowHeight, initWidth, initHeight, pictureWidth, pictureHeight;
    };
    const Scene scenes[] = {
        {128, 96, 128, 96, 128, 96},
        {320, 200, 64, 48, 64, 48},
        // A smaller picture: under AddressSanitizer any read past its planes fails.
        {96, 64, 96, 64, 32, 16},
        // A larger one, drawn from a surface rebuilt at its size or from the overlap, the
        // top left; under AddressSanitizer a copy past the surface fails.
        {64, 48, 32, 24, 64, 48},
        // 101 pixels: rows of 16-bit pixels are padded, so the image pitch is not twice
        // the width; stepping rows by the width would shear the picture.
        {101, 61, 101, 61, 101, 61},
    };
    for (const Scene& s : scenes) {
        SCOPED_TRACE(testing::Message() << "picture " << s.pictureWidth << " x " << s.pictureHeight
                                        << " in " << s.windowWidth << " x " << s.windowHeight);
        m_renderer = Make();
        XTestWindow window(s.windowWidth, s.windowHeight);
        ASSERT_TRUE(window.ok());
        ASSERT_TRUE(m_renderer->Init(window.id(), s.initWidth, s.initHeight));
        QuadPicture picture(s.pictureWidth, s.pictureHeight);
        const bool larger = s.pictureWidth > s.initWidth;
        if (larger)
            Render(*m_renderer, picture, window.id());
        ASSERT_TRUE(Render(*m_renderer, picture, window.id()));
        ExpectQuadrants(window, s.windowWidth, s.windowHeight, larger ? 1 : 4);
        int32_t height = 0, width = 0;
        m_renderer->GetSize(height, width);
        EXPECT_TRUE(larger || (width == s.initWidth && height == s.initHeight))
            << width << " x " << height;
        window.Resize(256, 192);
        Render(*m_renderer, picture, window.id());
        ASSERT_TRUE(Render(*m_renderer, picture, window.id()));
        ExpectQuadrants(window, 256, 192, larger ? 1 : 4);
        window.Resize(40, 30);
        ASSERT_TRUE(Render(*m_renderer, picture, window.id()));
        ExpectQuadrants(window, 40, 30, larger ? 1 : 4);
    }
}

// Rows padded as the decoder pads them are drawn where they lie: stepping rows by the
// width would shear the quadrants and show the padding.
TEST_P(RendererWindow, DrawsPaddedRowsWhereTheyLie) {
    XTestWindow window(352, 288);
    ASSERT_TRUE(window.ok());
    ASSERT_TRUE(m_renderer->Init(window.id(), 352, 288));
    QuadPicture picture(352, 288, 32);
    ASSERT_TRUE(Render(*m_renderer, picture, window.id()));
    ExpectQuadrants(window, 352, 288);
    for (const auto& [x, y] : {std::pair{170, 140}, {180, 150}, {340, 280}})
        ExpectColour(window, x, y, picture.At(x, y));
}

TEST_P(RendererWindow, ShowsOnlyTheSourceRectangleAndRefusesAnEmptyOne) {
    XTestWindow window(100, 80);
    ASSERT_TRUE(window.ok());
    ASSERT_TRUE(m_renderer->Init(window.id(), 100, 80));
    QuadPicture picture(100, 80);
    ASSERT_TRUE(Render(*m_renderer, picture, window.id(), {50, 40}, {100, 80}));
    ExpectColour(window, 5, 5, kQuadrants[3]);
    ExpectColour(window, 95, 75, kQuadrants[3]);
    // Corners beyond the picture are cut to it.
    ASSERT_TRUE(Render(*m_renderer, picture, window.id(), {-500, -500}, {50, 40}));
    ExpectColour(window, 95, 75, kQuadrants[0]);
    EXPECT_FALSE(Render(*m_renderer, picture, window.id(), {30, 10}, {30, 60}));
    EXPECT_FALSE(Render(*m_renderer, picture, window.id(), {60, 50}, {20, 10}));
}

TEST_P(RendererWindow, AWindowThatGoesAwayFailsFramesAndNeverEndsTheProcess) {
    EXPECT_FALSE(m_renderer->Init(0, 64, 48));
    EXPECT_FALSE(m_renderer->Init(0x7fffff0, 64, 48));  // names no window
    auto window = std::make_unique<XTestWindow>(64, 48);
    ASSERT_TRUE(window->ok());
    ASSERT_TRUE(m_renderer->Init(window->id(), 64, 48));
    QuadPicture picture(64, 48);
    ASSERT_TRUE(Render(*m_renderer, picture, window->id()));
    const unsigned long stale = window->id();
    window->Destroy();
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(Render(*m_renderer, picture, stale));
    m_renderer->Close();
    EXPECT_FALSE(Render(*m_renderer, picture, stale));

    // A new window for the same renderer is taken up at once.
    XTestWindow next(64, 48);
    ASSERT_TRUE(next.ok());
    Render(*m_renderer, picture, next.id());
    ASSERT_TRUE(Render(*m_renderer, picture, next.id()));
    ExpectColour(next, 60, 44, kQuadrants[3]);
}

// Samples of an 8 x 8 grid over the window that are not black.
int LitSamples(XTestWindow& window, int width, int height) {
    int lit = 0;
    for (int i = 0; i < 64; ++i) {
        const std::array<int, 3> rgb =
            window.Pixel((2 * (i % 8) + 1) * width / 16, (2 * (i / 8) + 1) * height / 16);
        lit += rgb[0] + rgb[1] + rgb[2] > 60 ? 1 : 0;
    }
    return lit;
}

template <typename Condition>
bool Eventually(Condition condition) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition() && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}

// Through the C interface with the library's own choice of renderer: the stream
// reaches the host's window, and Stop leaves the window cleared.
TEST_P(RendererWindow, ThroughTheLibraryPlaysIntoTheHostWindowAndStopClearsIt) {
    XTestWindow window(352, 288);
    ASSERT_TRUE(window.ok());
    ASSERT_EQ(QxPlay_Init(), 1);
    qx::render::SetUseGpuRenderer(GetParam() == Kind::kGl);
    int32_t port = -1;
    ASSERT_EQ(QxPlay_GetPort(&port), 1);
    ASSERT_EQ(QxPlay_SetStreamOpenMode(port, 1), 1);
    ASSERT_EQ(QxPlay_Play(port, window.id()), 1);
    qx::kit::StreamOptions options;
    options.frames = 50;
    std::vector<uint8_t> stream = qx::kit::StreamWriter::MakeStream(options);
    std::atomic<bool> stopped{false};
    std::thread feeder([&] {
        for (size_t at = 0; at < stream.size() && !stopped; at += 4096) {
            const auto n = static_cast<uint32_t>(std::min<size_t>(4096, stream.size() - at));
            while (!stopped && QxPlay_InputData(port, stream.data() + at, n) == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    EXPECT_TRUE(Eventually([&] { return LitSamples(window, 352, 288) >= 16; }));
    EXPECT_EQ(QxPlay_Stop(port), 1);
    stopped = true;
    feeder.join();
    EXPECT_TRUE(Eventually([&] { return LitSamples(window, 352, 288) == 0; }));
    QxPlay_FreePort(port);
    QxPlay_Destory();
    qx::render::SetUseGpuRenderer(false);
}

INSTANTIATE_TEST_SUITE_P(Both, RendererWindow, testing::Values(Kind::kGl, Kind::kX11), KindName);

TEST(GlRenderer, RecoversFromALostContextAtTheNextPictureAndRefusesSurfacesOf6000Pixels) {
    if (!HaveGl())
        GTEST_SKIP() << "no usable GL";
    XTestWindow window(64, 48);
    ASSERT_TRUE(window.ok());
    D3DRender renderer, wide, widest;
    ASSERT_TRUE(renderer.Init(window.id(), 64, 48));
    QuadPicture picture(64, 48);
    renderer.MarkLost();
    // The rebuild happens, but that picture is not reported as shown.
    EXPECT_FALSE(Render(renderer, picture, window.id()));
    EXPECT_TRUE(Render(renderer, picture, window.id()));
    EXPECT_FALSE(widest.Init(window.id(), 6000, 48));
    EXPECT_TRUE(wide.Init(window.id(), 5998, 48));
}

TEST(X11Renderer, ConvertsToTheWindowDepth) {
    if (std::getenv("DISPLAY") == nullptr)
        GTEST_SKIP() << "no X display";
    XTestWindow window(64, 48);
    ASSERT_TRUE(window.ok());
    CDDrawDisplay renderer;
    ASSERT_TRUE(renderer.Init(window.id(), 64, 48));
    EXPECT_EQ(renderer.pixelFormat(), ScreenDepth() == 16 ? 37 : 28);
    renderer.Close();
    EXPECT_EQ(renderer.pixelFormat(), 0);
}

}  // namespace
