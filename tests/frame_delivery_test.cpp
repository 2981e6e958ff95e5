// What a host receives besides the window: the display and decode callbacks, colour
// adjustment, snapshots to files and memory, and the rectangles and lines it asked for.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "render/PixelConvert.h"
#include "support/PlaybackHarness.h"

using namespace std::chrono_literals;

namespace {

constexpr int kWidth = 352;
constexpr int kHeight = 288;
constexpr size_t kLuma = static_cast<size_t>(kWidth) * kHeight;

struct Delivered {
    int32_t port, size, width, height, type;
    std::vector<uint8_t> bytes;
    QxFrameInfo info;
};

// The callbacks carry no user value: what they receive is kept here.
std::mutex gMutex;
std::vector<Delivered> gDisplayed;
std::vector<Delivered> gDecoded;

void OnDisplay(int32_t port, char* buffer, int32_t size, int32_t width, int32_t height, int32_t,
               int32_t type, int32_t) {
    const size_t bytes = static_cast<size_t>(width) * height * (type == 0 ? 3 : 6) / 2;
    std::lock_guard<std::mutex> lock(gMutex);
    gDisplayed.push_back({port, size, width, height, type,
                          std::vector<uint8_t>(buffer, buffer + bytes), QxFrameInfo{}});
}

void OnDecode(int32_t port, char* buffer, int32_t size, const QxFrameInfo* info, int32_t, int32_t) {
    std::lock_guard<std::mutex> lock(gMutex);
    gDecoded.push_back({port, size, info->width, info->height, info->type,
                        std::vector<uint8_t>(buffer, buffer + size), *info});
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

std::string TempPath(const std::string& name) {
    return testing::TempDir() + "/qxdeliver-" + std::to_string(getpid()) + "-" + name;
}

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// YV12 as the callbacks hand it over: Y, then V, then U.
void ExpectYv12(const qx::kit::Picture& picture, const std::vector<uint8_t>& yv12) {
    ASSERT_GE(yv12.size(), kLuma * 3 / 2);
    EXPECT_TRUE(std::equal(picture.y.begin(), picture.y.end(), yv12.begin()));
    EXPECT_TRUE(std::equal(picture.v.begin(), picture.v.end(), yv12.begin() + kLuma));
    EXPECT_TRUE(std::equal(picture.u.begin(), picture.u.end(), yv12.begin() + kLuma * 5 / 4));
}

class FrameDelivery : public testing::Test {
  protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lock(gMutex);
        gDisplayed.clear();
        gDecoded.clear();
    }
    // A stream of pictures whose counters say their frame numbers.
    std::vector<uint8_t> Stream(int frames) {
        qx::kit::StreamOptions options;
        options.frames = frames;
        options.gop = 10;
        const std::vector<qx::kit::Packet> packets = qx::kit::StreamWriter::MakePackets(options);
        m_reference = qx::kit::ReferenceDecoder::DecodeElementaryStream(
            options.codec, qx::kit::ElementaryStream(packets));
        return WithEndMarker(qx::kit::Serialize(packets));
    }
    // Feeds the stream and waits until its pictures are shown; the last of them.
    RenderRecord::Shown ShowAll(PlaybackPort& port, const std::vector<uint8_t>& stream) {
        const size_t shown = port.shown().Count() + m_reference.size();
        port.Feed(stream, 4096);
        EXPECT_TRUE(port.shown().WaitFor(shown, 20s));
        return port.shown().Pictures().back();
    }
    std::vector<qx::kit::Picture> m_reference;
};

// The display callback hears of one picture per registration, twice: as YV12 and as
// RGB24; the decode callback gets every picture as YV12.
TEST_F(FrameDelivery, DisplayCallbackOncePerRegistrationDecodeCallbackEveryPicture) {
    PlaybackPort port(1);
    ASSERT_EQ(QxPlay_SetDisplayCallBack(port.port(), OnDisplay), 1);
    ASSERT_EQ(QxPlay_SetDecCallBack(port.port(), OnDecode), 1);
    ASSERT_TRUE(port.Play());
    port.Feed(Stream(30), 4096);
    ASSERT_TRUE(port.shown().WaitFor(10, 20s));
    {
        std::lock_guard<std::mutex> lock(gMutex);
        ASSERT_EQ(gDisplayed.size(), 2u);
        EXPECT_EQ(std::make_pair(gDisplayed[0].type, gDisplayed[1].type), std::make_pair(0, 1));
        for (const Delivered& d : gDisplayed)
            EXPECT_EQ(std::tie(d.port, d.size, d.width, d.height),
                      std::make_tuple(port.port(), 4, kWidth, kHeight));
        ExpectYv12(m_reference[0], gDisplayed[0].bytes);
    }
    ASSERT_EQ(QxPlay_SetDisplayCallBack(port.port(), OnDisplay), 1);
    ASSERT_TRUE(port.shown().WaitFor(30, 20s));
    port.shown().WaitQuiet(200ms, 2s);
    std::lock_guard<std::mutex> lock(gMutex);
    EXPECT_EQ(gDisplayed.size(), 4u);
    ASSERT_EQ(gDecoded.size(), m_reference.size());
    for (size_t i = 0; i < gDecoded.size(); i += 7) {
        SCOPED_TRACE("picture " + std::to_string(i));
        const QxFrameInfo& info = gDecoded[i].info;
        EXPECT_EQ(std::tie(gDecoded[i].size, info.width, info.height, info.stamp, info.type,
                           info.frameRate),
                  std::make_tuple(static_cast<int32_t>(kLuma * 3 / 2), kWidth, kHeight, 0, 2, 25));
        ExpectYv12(m_reference[i], gDecoded[i].bytes);
    }
}

// A capture is served by the next picture, and the later name wins; the memory images
// are of the picture on display.
TEST_F(FrameDelivery, CapturesAndMemoryImagesOfThePictures) {
    PlaybackPort port(1);
    const std::string first = TempPath("first.bmp"), second = TempPath("second.bmp");
    std::remove(first.c_str());
    std::remove(second.c_str());
    std::vector<uint8_t> image(54 + kLuma * 3);
    uint32_t size = 0;
    EXPECT_EQ(QxPlay_GetBMP(port.port(), image.data(), image.size(), &size), 0) << "no picture yet";
    EXPECT_EQ(QxPlay_GetJPEG(port.port(), image.data(), image.size(), &size), 0);
    ASSERT_EQ(QxPlay_CaptureBmpPicture(port.port(), nullptr), 0);
    ASSERT_EQ(QxPlay_CaptureBmpPicture(port.port(), first.c_str()), 1);
    ASSERT_EQ(QxPlay_CaptureBmpPicture(port.port(), second.c_str()), 1);
    ASSERT_EQ(QxPlay_SetDisplayCallBack(port.port(), OnDisplay), 1);
    ASSERT_TRUE(port.Play());
    const RenderRecord::Shown last = ShowAll(port, Stream(10));
    port.shown().WaitQuiet(200ms, 2s);
    EXPECT_FALSE(Exists(first));
    ASSERT_TRUE(Exists(second));
    const std::vector<uint8_t> bmp = ReadFile(second);
    std::remove(second.c_str());
    ASSERT_EQ(bmp.size(), 54 + kLuma * 3);
    EXPECT_EQ(std::make_tuple(bmp[0], bmp[1], U32(bmp, 18), U32(bmp, 22)),
              std::make_tuple(uint8_t{'B'}, uint8_t{'M'}, uint32_t{kWidth}, uint32_t{kHeight}));
    {
        // The captured picture took the display callback's turn; the next one got it.
        std::lock_guard<std::mutex> lock(gMutex);
        EXPECT_EQ(gDisplayed.size(), 2u);
    }

    EXPECT_EQ(QxPlay_GetBMP(port.port(), image.data(), image.size() - 1, &size), 0);
    ASSERT_EQ(QxPlay_GetBMP(port.port(), image.data(), image.size(), &size), 1);
    EXPECT_EQ(std::make_tuple(size, U32(image, 2), U32(image, 10)),
              std::make_tuple(static_cast<uint32_t>(image.size()), size, 54u));
    // The last picture's top-left pixel is the last row of the bottom-up image; the
    // counter's blocks make it black or white.
    const uint8_t* topLeft = image.data() + 54 + (kHeight - 1) * kWidth * 3;
    uint8_t r, g, b;
    qx::YuvPixelToRgb(last.y[0], last.u[0], last.v[0], &r, &g, &b);
    EXPECT_EQ(std::tie(topLeft[0], topLeft[1], topLeft[2]), std::tie(b, g, r));

    std::vector<uint8_t> jpeg(kLuma * 3 / 2);
    EXPECT_EQ(QxPlay_GetJPEG(port.port(), jpeg.data(), jpeg.size() - 1, &size), 0);
    ASSERT_EQ(QxPlay_GetJPEG(port.port(), jpeg.data(), jpeg.size(), &size), 1);
    ASSERT_GT(size, 100u);
    EXPECT_EQ(std::make_tuple(jpeg[0], jpeg[1], jpeg[size - 2], jpeg[size - 1]),
              std::make_tuple(0xFF, 0xD8, 0xFF, 0xD9));
    EXPECT_EQ(QxPlay_Stop(port.port()), 1);
}

// Neutral colour leaves the pictures as they are; rectangles and lines are drawn where
// they were asked until they are removed; any other colour changes the pictures.
TEST_F(FrameDelivery, ColourAndOverlaysChangeThePicturesAsAsked) {
    PlaybackPort port(3);
    ASSERT_TRUE(port.Play());
    // The neutral settings: brightness, contrast, saturation and hue 64.
    ASSERT_EQ(QxPlay_SetColor(port.port(), 0, 64, 64, 64, 64), 1);
    const std::vector<uint8_t> stream = Stream(20);
    ShowAll(port, stream);
    const std::vector<RenderRecord::Shown> neutral = port.shown().Pictures();
    for (size_t i = 0; i < neutral.size(); i += 5)
        EXPECT_EQ(neutral[i].y, m_reference[i].y) << "picture " << i;

    ASSERT_EQ(QxPlay_SetRectangle(port.port(), 40, 30, 100, 60, 255, 0, 0, 0), 1);
    ASSERT_EQ(QxPlay_SetRectangle(port.port(), 200, 200, 50, 50, 0, 0, 255, 4), 1);
    ASSERT_EQ(QxPlay_SetRectangle(port.port(), 0, 0, 10, 10, 0, 0, 255, 5), 0);
    ASSERT_EQ(QxPlay_SetRectangle(port.port(), 0, 0, 10, 10, 0, 0, 255, -1), 0);
    // Green, a horizontal line at row 250.
    ASSERT_EQ(QxPlay_DrawLine(port.port(), 20, 250, 300, 250, 0x00FF00, 7, 0), 1);
    RenderRecord::Shown shown = ShowAll(port, stream);
    const auto luma = [&](int x, int y) { return shown.y[static_cast<size_t>(y) * kWidth + x]; };
    // Red is Y 76, Cr 255: the border, 1 pixel at this width, on all four sides.
    for (const auto& [x, y] : {std::pair{70, 30}, {70, 90}, {40, 60}, {140, 60}})
        EXPECT_EQ(luma(x, y), 76) << x << "," << y;
    EXPECT_EQ(shown.v[15 * (kWidth / 2) + 35], 255);
    // Slot 4 is kept but not drawn: blue would be Y 29.
    EXPECT_NE(luma(225, 200), 29);
    // Green is Y 149.
    EXPECT_EQ(luma(150, 250), 149);

    ASSERT_EQ(QxPlay_RemoveRectangle(port.port(), 0), 1);
    ASSERT_EQ(QxPlay_RemoveLine(port.port(), 7), 1);
    ASSERT_EQ(QxPlay_RemoveLine(port.port(), 12345), 1);
    shown = ShowAll(port, stream);
    EXPECT_NE(luma(70, 30), 76) << "the rectangle was removed";
    EXPECT_NE(luma(150, 250), 149) << "the line was removed";
    ASSERT_EQ(QxPlay_SetColor(port.port(), 0, 80, 64, 64, 64), 1);
    shown = ShowAll(port, stream);
    const qx::kit::Picture& ref = m_reference.back();
    int64_t brighter = 0;
    for (size_t i = 0; i < kLuma; ++i)
        brighter += shown.y[i] > ref.y[i] ? 1 : 0;
    EXPECT_GT(brighter, static_cast<int64_t>(kLuma / 2)) << "a brighter picture is shown";
}

// At the fifth live picture its decode callback takes the overlays away again.
void RemoveOverlaysAtTheFifth(int32_t port, char* buffer, int32_t size, const QxFrameInfo* info,
                              int32_t, int32_t) {
    OnDecode(port, buffer, size, info, 0, 0);
    std::lock_guard<std::mutex> lock(gMutex);
    if (gDecoded.size() == 5) {
        QxPlay_RemoveRectangle(port, 0);
        QxPlay_RemoveLine(port, 7);
    }
}

// A live picture that nothing draws over is shown from the decoder's own planes. What
// is drawn goes into a copy, never into the pictures the next ones are predicted from,
// and the callbacks and images get the picture as it was shown.
TEST_F(FrameDelivery, LiveOverlaysStayOutOfThePicturesThatFollow) {
    PlaybackPort port(0);
    ASSERT_EQ(QxPlay_SetCacheTime(port.port(), 0), 1);
    ASSERT_EQ(QxPlay_SetDecCallBack(port.port(), RemoveOverlaysAtTheFifth), 1);
    ASSERT_EQ(QxPlay_SetRectangle(port.port(), 200, 150, 100, 60, 255, 0, 0, 0), 1);
    ASSERT_EQ(QxPlay_DrawLine(port.port(), 20, 250, 300, 250, 0x00FF00, 7, 0), 1);
    ASSERT_TRUE(port.Play());
    // The second key picture comes at the eleventh: pictures 5 to 9 are predicted from
    // pictures that had overlays on screen.
    ShowAll(port, Stream(20));
    // The decode callback of the last picture comes after it is shown.
    port.shown().WaitQuiet(200ms, 2s);
    const std::vector<RenderRecord::Shown> shown = port.shown().Pictures();
    ASSERT_EQ(shown.size(), m_reference.size());
    for (size_t i = 0; i < shown.size(); ++i) {
        SCOPED_TRACE("picture " + std::to_string(i));
        if (i < 5) {
            EXPECT_EQ(shown[i].y[250 * kWidth + 150], 149) << "the line";
            EXPECT_EQ(shown[i].y[150 * kWidth + 250], 76) << "the rectangle's border";
            EXPECT_TRUE(std::equal(shown[i].y.begin(), shown[i].y.begin() + 150 * kWidth,
                                   m_reference[i].y.begin()))
                << "above the rectangle";
        } else {
            EXPECT_EQ(shown[i].y, m_reference[i].y);
            EXPECT_EQ(shown[i].u, m_reference[i].u);
            EXPECT_EQ(shown[i].v, m_reference[i].v);
        }
    }
    {
        std::lock_guard<std::mutex> lock(gMutex);
        ASSERT_EQ(gDecoded.size(), m_reference.size());
        for (size_t i = 5; i < gDecoded.size(); i += 3)
            ExpectYv12(m_reference[i], gDecoded[i].bytes);
    }
    std::vector<uint8_t> image(54 + kLuma * 3);
    uint32_t size = 0;
    ASSERT_EQ(QxPlay_GetBMP(port.port(), image.data(), image.size(), &size), 1);
    const qx::kit::Picture& last = m_reference.back();
    for (const auto& [x, y] : {std::pair{0, 0}, {351, 0}, {176, 144}, {0, 287}, {351, 287}}) {
        const size_t chroma = static_cast<size_t>(y / 2) * (kWidth / 2) + x / 2;
        uint8_t r, g, b;
        qx::YuvPixelToRgb(last.y[static_cast<size_t>(y) * kWidth + x], last.u[chroma],
                          last.v[chroma], &r, &g, &b);
        const uint8_t* pixel = image.data() + 54 + ((kHeight - 1 - y) * kWidth + x) * 3;
        EXPECT_EQ(std::tie(pixel[0], pixel[1], pixel[2]), std::tie(b, g, r)) << x << "," << y;
    }
    EXPECT_EQ(QxPlay_Stop(port.port()), 1);
}

// A host picture becomes a file: RGB as a BMP with its red and blue exchanged, in the
// file and in the caller's buffer, YV12 as BMP and JPEG; bad arguments, short buffers and
// unwritable files are refused.
TEST(ConvertExports, WriteWhatTheyAreGivenAndRefuseWhatTheyCannot) {
    const std::string path = TempPath("convert.bmp"), jpeg = TempPath("convert.jpg");
    std::vector<char> rgb;
    for (int i = 0; i < 4 * 2; ++i)
        rgb.insert(rgb.end(), {10, 20, 30});
    ASSERT_EQ(QxPlay_ConvertToBmpFile(rgb.data(), 0, 4, 2, 1, path.c_str()), 1);
    EXPECT_EQ(std::make_pair(rgb[0], rgb[2]), std::make_pair(char{30}, char{10}))
        << "the caller's buffer is left blue, green, red";
    std::vector<uint8_t> bmp = ReadFile(path);
    ASSERT_EQ(bmp.size(), 54u + 24u);
    EXPECT_EQ(std::make_pair(bmp[54], bmp[56]), std::make_pair(uint8_t{30}, uint8_t{10}));

    std::vector<char> yv12(64 * 32 * 3 / 2, static_cast<char>(128));
    EXPECT_EQ(QxPlay_ConvertToBmpFile(yv12.data(), yv12.size() - 1, 64, 32, 0, path.c_str()), 0);
    ASSERT_EQ(QxPlay_ConvertToBmpFile(yv12.data(), yv12.size(), 64, 32, 0, path.c_str()), 1);
    bmp = ReadFile(path);
    ASSERT_EQ(bmp.size(), 54u + 64 * 32 * 3);
    EXPECT_NEAR(bmp[54], 128, 2) << "grey";
    ASSERT_EQ(QxPlay_SetJpegQuality(50), 1);
    ASSERT_EQ(QxPlay_ConvertToJpegFile(yv12.data(), 0, 64, 32, 0, jpeg.c_str()), 1);
    const std::vector<uint8_t> file = ReadFile(jpeg);
    ASSERT_GT(file.size(), 2u);
    EXPECT_EQ(std::make_pair(file[0], file[1]), std::make_pair(uint8_t{0xFF}, uint8_t{0xD8}));
    std::remove(jpeg.c_str());
    QxPlay_SetJpegQuality(80);
    std::remove(path.c_str());

    rgb.assign(16 * 16 * 3, 0);
    EXPECT_EQ(QxPlay_ConvertToBmpFile(rgb.data(), 0, 16, 16, 2, path.c_str()), 1);
    EXPECT_FALSE(Exists(path)) << "another type writes nothing";
    EXPECT_EQ(QxPlay_ConvertToBmpFile(nullptr, 0, 16, 16, 1, path.c_str()), 0);
    EXPECT_EQ(QxPlay_ConvertToBmpFile(rgb.data(), 0, 16, 16, 1, nullptr), 0);
    EXPECT_EQ(QxPlay_ConvertToBmpFile(rgb.data(), 0, 0, 16, 1, path.c_str()), 0);
    EXPECT_EQ(QxPlay_ConvertToBmpFile(rgb.data(), 0, 16, -1, 0, path.c_str()), 0);
    EXPECT_EQ(QxPlay_ConvertToJpegFile(rgb.data(), 0, 65536, 65536, 1, path.c_str()), 0);
    EXPECT_EQ(QxPlay_ConvertToBmpFile(rgb.data(), 8, 16, 16, 0, path.c_str()), 0);
    EXPECT_EQ(QxPlay_ConvertToJpegFile(rgb.data(), 8, 16, 16, 1, path.c_str()), 0);
    EXPECT_EQ(QxPlay_ConvertToBmpFile(rgb.data(), 0, 16, 16, 1, "/nonexistent/dir/x.bmp"), 0);
    EXPECT_EQ(QxPlay_ConvertToJpegFile(rgb.data(), 0, 16, 16, 1, "/nonexistent/dir/x.jpg"), 0);
    EXPECT_FALSE(Exists(path));
}

}  // namespace
