// Both renderers drawing into real X windows: what reaches the window, how they
// follow the window and what they do when it goes away.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <functional>
#include <memory>
#include <vector>

#include "render/CDDrawDisplay.h"
#include "render/D3DRender.h"
#include "render/DisplayDevices.h"
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

class QuadPicture {
  public:
    QuadPicture(int width, int height) : m_width(width), m_height(height) {
        m_y.resize(static_cast<size_t>(width) * height);
        m_u.resize(static_cast<size_t>(width / 2) * (height / 2));
        m_v.resize(m_u.size());
        for (int row = 0; row < height; ++row) {
            for (int column = 0; column < width; ++column) {
                const Yuv& c = At(column, row);
                m_y[static_cast<size_t>(row) * width + column] = static_cast<uint8_t>(c.y);
                if (row % 2 == 0 && column % 2 == 0 && row / 2 < height / 2 &&
                    column / 2 < width / 2) {
                    const size_t i = static_cast<size_t>(row / 2) * (width / 2) + column / 2;
                    m_u[i] = static_cast<uint8_t>(c.u);
                    m_v[i] = static_cast<uint8_t>(c.v);
                }
            }
        }
        m_planes[0] = m_y.data();
        m_planes[1] = m_u.data();
        m_planes[2] = m_v.data();
    }
    const Yuv& At(int column, int row) const {
        return kQuadrants[(row >= m_height / 2 ? 2 : 0) + (column >= m_width / 2 ? 1 : 0)];
    }
    unsigned char** planes() { return m_planes; }
    const int* strides() const { return m_strides; }

  private:
    int m_width;
    int m_height;
    std::vector<uint8_t> m_y, m_u, m_v;
    unsigned char* m_planes[3] = {};
    int m_strides[3] = {m_width, m_width / 2, m_width / 2};
};

std::array<int, 3> Expected(const Yuv& c) {
    uint8_t r = 0, g = 0, b = 0;
    qx::YuvPixelToRgb(c.y, c.u, c.v, &r, &g, &b);
    return {r, g, b};
}

int ScreenDepth() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr)
        return 0;
    const int depth = DefaultDepth(display, DefaultScreen(display));
    XCloseDisplay(display);
    return depth;
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
        if (GetParam() == Kind::kGl) {
            if (!D3DRender::InitD3DSDK() || !ProbeD3D())
                GTEST_SKIP() << "no usable GL on this display";
            m_renderer = std::make_unique<D3DRender>();
        } else {
            m_renderer = std::make_unique<CDDrawDisplay>();
        }
        // GL computes in floats; 5/6/5 pixels keep 5 or 6 bits of each channel.
        m_tolerance = GetParam() == Kind::kGl ? 6 : 2;
        if (ScreenDepth() == 16)
            m_tolerance += 8;
    }

    bool Draw(QuadPicture& picture, int width, int height, unsigned long window,
              RenderPoint topLeft = {}, RenderPoint bottomRight = {}) {
        return m_renderer->Render(picture.planes(), picture.strides(), width, height, window,
                                  &topLeft, &bottomRight);
    }

    void ExpectColour(XTestWindow& window, int x, int y, const Yuv& colour) {
        const std::array<int, 3> seen = window.Pixel(x, y);
        const std::array<int, 3> want = Expected(colour);
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(seen[c], want[c], m_tolerance)
                << "channel " << c << " at " << x << "," << y;
    }

    std::unique_ptr<video_render> m_renderer;
    int m_tolerance = 0;
};

TEST_P(RendererWindow, ShowsEachQuadrantInItsPlace) {
    XTestWindow window(128, 96);
    ASSERT_TRUE(window.ok());
    ASSERT_TRUE(m_renderer->Init(window.id(), 128, 96));
    QuadPicture picture(128, 96);
    ASSERT_TRUE(Draw(picture, 128, 96, window.id()));
    ExpectColour(window, 32, 24, kQuadrants[0]);
    ExpectColour(window, 96, 24, kQuadrants[1]);
    ExpectColour(window, 32, 72, kQuadrants[2]);
    ExpectColour(window, 96, 72, kQuadrants[3]);
    int32_t height = 0, width = 0;
    m_renderer->GetSize(height, width);
    EXPECT_EQ(width, 128);
    EXPECT_EQ(height, 96);
}

TEST_P(RendererWindow, StretchesThePictureOverALargerOrSmallerClientArea) {
    XTestWindow window(320, 200);
    ASSERT_TRUE(window.ok());
    ASSERT_TRUE(m_renderer->Init(window.id(), 64, 48));
    QuadPicture picture(64, 48);
    ASSERT_TRUE(Draw(picture, 64, 48, window.id()));
    ExpectColour(window, 10, 10, kQuadrants[0]);
    ExpectColour(window, 310, 10, kQuadrants[1]);
    ExpectColour(window, 10, 190, kQuadrants[2]);
    ExpectColour(window, 310, 190, kQuadrants[3]);

    window.Resize(40, 30);
    ASSERT_TRUE(Draw(picture, 64, 48, window.id()));
    ExpectColour(window, 3, 3, kQuadrants[0]);
    ExpectColour(window, 37, 27, kQuadrants[3]);
}

TEST_P(RendererWindow, FollowsAWindowThatGrowsAfterInit) {
    XTestWindow window(64, 48);
    ASSERT_TRUE(window.ok());
    ASSERT_TRUE(m_renderer->Init(window.id(), 64, 48));
    QuadPicture picture(64, 48);
    ASSERT_TRUE(Draw(picture, 64, 48, window.id()));
    window.Resize(256, 192);
    // The first picture after the change may be spent rebuilding; the next is drawn.
    Draw(picture, 64, 48, window.id());
    ASSERT_TRUE(Draw(picture, 64, 48, window.id()));
    ExpectColour(window, 250, 186, kQuadrants[3]);
    ExpectColour(window, 5, 5, kQuadrants[0]);
}

TEST_P(RendererWindow, ShowsOnlyTheSourceRectangleAndRefusesAnEmptyOne) {
    XTestWindow window(100, 80);
    ASSERT_TRUE(window.ok());
    ASSERT_TRUE(m_renderer->Init(window.id(), 100, 80));
    QuadPicture picture(100, 80);
    ASSERT_TRUE(Draw(picture, 100, 80, window.id(), {50, 40}, {100, 80}));
    ExpectColour(window, 5, 5, kQuadrants[3]);
    ExpectColour(window, 95, 75, kQuadrants[3]);
    // Corners beyond the picture are cut to it.
    ASSERT_TRUE(Draw(picture, 100, 80, window.id(), {-500, -500}, {50, 40}));
    ExpectColour(window, 95, 75, kQuadrants[0]);
    EXPECT_FALSE(Draw(picture, 100, 80, window.id(), {30, 10}, {30, 60}));
    EXPECT_FALSE(Draw(picture, 100, 80, window.id(), {60, 50}, {20, 10}));
}

TEST_P(RendererWindow, ASmallerPictureIsDrawnFromItsOwnPlanesOnly) {
    XTestWindow window(96, 64);
    ASSERT_TRUE(window.ok());
    ASSERT_TRUE(m_renderer->Init(window.id(), 96, 64));
    // Planes of exactly 32 × 16: under AddressSanitizer any read past them fails.
    QuadPicture small(32, 16);
    EXPECT_TRUE(Draw(small, 32, 16, window.id()));
    ExpectColour(window, 4, 4, kQuadrants[0]);
    ExpectColour(window, 92, 60, kQuadrants[3]);
}

TEST_P(RendererWindow, ALargerPictureNeverWritesPastTheSurface) {
    XTestWindow window(64, 48);
    ASSERT_TRUE(window.ok());
    ASSERT_TRUE(m_renderer->Init(window.id(), 32, 24));
    QuadPicture large(64, 48);
    // Drawn either from a surface rebuilt at its size or from the overlap; under
    // AddressSanitizer a copy past the surface fails.
    Draw(large, 64, 48, window.id());
    EXPECT_TRUE(Draw(large, 64, 48, window.id()));
    ExpectColour(window, 4, 4, kQuadrants[0]);
}

TEST_P(RendererWindow, AnOddWidthPictureKeepsItsRowsInStep) {
    // 101 pixels: rows of 16-bit pixels are padded, so the image pitch is not twice
    // the width; stepping rows by the width would shear the picture.
    XTestWindow window(101, 61);
    ASSERT_TRUE(window.ok());
    ASSERT_TRUE(m_renderer->Init(window.id(), 101, 61));
    QuadPicture picture(101, 61);
    ASSERT_TRUE(Draw(picture, 101, 61, window.id()));
    ExpectColour(window, 20, 10, kQuadrants[0]);
    ExpectColour(window, 90, 10, kQuadrants[1]);
    ExpectColour(window, 10, 55, kQuadrants[2]);
    ExpectColour(window, 80, 55, kQuadrants[3]);
}

TEST_P(RendererWindow, AWindowThatGoesAwayFailsFramesAndNeverEndsTheProcess) {
    auto window = std::make_unique<XTestWindow>(64, 48);
    ASSERT_TRUE(window->ok());
    ASSERT_TRUE(m_renderer->Init(window->id(), 64, 48));
    QuadPicture picture(64, 48);
    ASSERT_TRUE(Draw(picture, 64, 48, window->id()));
    const unsigned long stale = window->id();
    window->Destroy();
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(Draw(picture, 64, 48, stale));
    m_renderer->Close();
    EXPECT_FALSE(Draw(picture, 64, 48, stale));

    // A new window for the same renderer is taken up at once.
    XTestWindow next(64, 48);
    ASSERT_TRUE(next.ok());
    Draw(picture, 64, 48, next.id());
    ASSERT_TRUE(Draw(picture, 64, 48, next.id()));
    ExpectColour(next, 60, 44, kQuadrants[3]);
}

TEST_P(RendererWindow, InitRefusesIdsThatNameNoWindow) {
    EXPECT_FALSE(m_renderer->Init(0, 64, 48));
    EXPECT_FALSE(m_renderer->Init(0x7fffff0, 64, 48));
}

INSTANTIATE_TEST_SUITE_P(Both, RendererWindow, testing::Values(Kind::kGl, Kind::kX11), KindName);

// Through the C interface with the library's own choice of renderer: the stream
// reaches the host's window, and Stop leaves the window cleared.
class ThroughTheLibrary : public testing::TestWithParam<Kind> {};

// Samples of an 8 × 8 grid over the window that are not black.
int LitSamples(XTestWindow& window, int width, int height) {
    int lit = 0;
    for (int row = 0; row < 8; ++row) {
        for (int column = 0; column < 8; ++column) {
            const std::array<int, 3> rgb =
                window.Pixel((2 * column + 1) * width / 16, (2 * row + 1) * height / 16);
            lit += rgb[0] + rgb[1] + rgb[2] > 60 ? 1 : 0;
        }
    }
    return lit;
}

template <typename Condition>
bool Eventually(Condition condition) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > give_up)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

TEST_P(ThroughTheLibrary, PlaysIntoTheHostWindowAndStopClearsIt) {
    if (std::getenv("DISPLAY") == nullptr)
        GTEST_SKIP() << "no X display";
    XTestWindow window(352, 288);
    ASSERT_TRUE(window.ok());
    ASSERT_EQ(QxPlay_Init(), 1);
    if (GetParam() == Kind::kGl && !ProbeD3D()) {
        QxPlay_Destory();
        GTEST_SKIP() << "no usable GL";
    }
    qx::render::SetUseGpuRenderer(GetParam() == Kind::kGl);
    int32_t port = -1;
    ASSERT_EQ(QxPlay_GetPort(&port), 1);
    ASSERT_EQ(QxPlay_SetStreamOpenMode(port, 1), 1);
    ASSERT_EQ(QxPlay_Play(port, window.id()), 1);
    qx::kit::StreamOptions options;
    options.frames = 50;
    const std::vector<uint8_t> stream = qx::kit::StreamWriter::MakeStream(options);
    std::atomic<bool> stopped{false};
    std::thread feeder([&] {
        for (size_t at = 0; at < stream.size() && !stopped; at += 4096) {
            std::vector<uint8_t> chunk(stream.begin() + at,
                                       stream.begin() + std::min(stream.size(), at + 4096));
            while (!stopped &&
                   QxPlay_InputData(port, chunk.data(), static_cast<uint32_t>(chunk.size())) == 0)
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

INSTANTIATE_TEST_SUITE_P(Both, ThroughTheLibrary, testing::Values(Kind::kGl, Kind::kX11), KindName);

TEST(GlRenderer, RecoversFromALostContextAtTheNextPicture) {
    if (std::getenv("DISPLAY") == nullptr || !D3DRender::InitD3DSDK() || !ProbeD3D())
        GTEST_SKIP() << "no usable GL";
    XTestWindow window(64, 48);
    ASSERT_TRUE(window.ok());
    D3DRender renderer;
    ASSERT_TRUE(renderer.Init(window.id(), 64, 48));
    QuadPicture picture(64, 48);
    const int strides[3] = {64, 32, 32};
    RenderPoint none;
    renderer.MarkLost();
    // The rebuild happens, but that picture is not reported as shown.
    EXPECT_FALSE(renderer.Render(picture.planes(), strides, 64, 48, window.id(), &none, &none));
    EXPECT_TRUE(renderer.Render(picture.planes(), strides, 64, 48, window.id(), &none, &none));
}

TEST(GlRenderer, RefusesSurfacesOf6000PixelsAndMore) {
    if (std::getenv("DISPLAY") == nullptr || !D3DRender::InitD3DSDK() || !ProbeD3D())
        GTEST_SKIP() << "no usable GL";
    XTestWindow window(64, 48);
    ASSERT_TRUE(window.ok());
    D3DRender renderer;
    EXPECT_FALSE(renderer.Init(window.id(), 6000, 48));
    D3DRender other;
    EXPECT_TRUE(other.Init(window.id(), 5998, 48));
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
