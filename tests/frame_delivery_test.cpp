// What a host receives besides the window: the display and decode callbacks, colour
// adjustment, snapshots to files and memory, and the rectangles and lines it asked for.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "render/PixelConvert.h"
#include "support/PlaybackHarness.h"

using namespace std::chrono_literals;

namespace {

constexpr int kWidth = 352;
constexpr int kHeight = 288;
constexpr size_t kLuma = static_cast<size_t>(kWidth) * kHeight;

struct Delivered {
    int32_t port;
    int32_t size;
    int32_t width;
    int32_t height;
    int32_t type;
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
        m_packets = qx::kit::StreamWriter::MakePackets(options);
        m_reference = qx::kit::ReferenceDecoder::DecodeElementaryStream(
            options.codec, qx::kit::ElementaryStream(m_packets));
        return WithEndMarker(qx::kit::Serialize(m_packets));
    }
    std::vector<qx::kit::Packet> m_packets;
    std::vector<qx::kit::Picture> m_reference;
};

TEST_F(FrameDelivery, TheDisplayCallbackGetsOnePictureForEachRegistration) {
    PlaybackPort port(1);
    ASSERT_EQ(QxPlay_SetDisplayCallBack(port.port(), OnDisplay), 1);
    ASSERT_TRUE(port.Play());
    port.Feed(Stream(30), 4096);
    ASSERT_TRUE(port.shown().WaitFor(10, 20s));
    {
        std::lock_guard<std::mutex> lock(gMutex);
        ASSERT_EQ(gDisplayed.size(), 2u);
        EXPECT_EQ(gDisplayed[0].type, 0);
        EXPECT_EQ(gDisplayed[1].type, 1);
        for (const Delivered& d : gDisplayed) {
            EXPECT_EQ(d.port, port.port());
            EXPECT_EQ(d.size, 4);
            EXPECT_EQ(d.width, kWidth);
            EXPECT_EQ(d.height, kHeight);
        }
        // YV12: Y, then V, then U, of the first picture shown.
        const qx::kit::Picture& first = m_reference[0];
        const std::vector<uint8_t>& yv12 = gDisplayed[0].bytes;
        EXPECT_TRUE(std::equal(first.y.begin(), first.y.end(), yv12.begin()));
        EXPECT_TRUE(std::equal(first.v.begin(), first.v.end(), yv12.begin() + kLuma));
        EXPECT_TRUE(std::equal(first.u.begin(), first.u.end(), yv12.begin() + kLuma * 5 / 4));
    }
    ASSERT_EQ(QxPlay_SetDisplayCallBack(port.port(), OnDisplay), 1);
    port.shown().WaitFor(port.shown().Count() + 3, 5s);
    std::lock_guard<std::mutex> lock(gMutex);
    EXPECT_EQ(gDisplayed.size(), 4u);
}

TEST_F(FrameDelivery, TheDecodeCallbackGetsEveryPictureAsYv12) {
    PlaybackPort port(3);
    ASSERT_EQ(QxPlay_SetDecCallBack(port.port(), OnDecode), 1);
    ASSERT_TRUE(port.Play());
    port.Feed(Stream(20), 4096);
    ASSERT_TRUE(port.shown().WaitFor(20, 20s));
    port.shown().WaitQuiet(200ms, 2s);
    std::lock_guard<std::mutex> lock(gMutex);
    ASSERT_EQ(gDecoded.size(), m_reference.size());
    for (size_t i = 0; i < gDecoded.size(); i += 7) {
        SCOPED_TRACE("picture " + std::to_string(i));
        const Delivered& d = gDecoded[i];
        EXPECT_EQ(d.size, static_cast<int32_t>(kLuma * 3 / 2));
        EXPECT_EQ(d.info.width, kWidth);
        EXPECT_EQ(d.info.height, kHeight);
        EXPECT_EQ(d.info.stamp, 0);
        EXPECT_EQ(d.info.type, 2);
        EXPECT_EQ(d.info.frameRate, 25);
        const qx::kit::Picture& ref = m_reference[i];
        EXPECT_TRUE(std::equal(ref.y.begin(), ref.y.end(), d.bytes.begin()));
        EXPECT_TRUE(std::equal(ref.v.begin(), ref.v.end(), d.bytes.begin() + kLuma));
        EXPECT_TRUE(std::equal(ref.u.begin(), ref.u.end(), d.bytes.begin() + kLuma * 5 / 4));
    }
}

TEST_F(FrameDelivery, NeutralColourLeavesThePicturesAndAnyOtherChangesThem) {
    PlaybackPort port(3);
    ASSERT_TRUE(port.Play());
    // The neutral settings: brightness, contrast, saturation and hue 64.
    ASSERT_EQ(QxPlay_SetColor(port.port(), 0, 64, 64, 64, 64), 1);
    const std::vector<uint8_t> stream = Stream(20);
    port.Feed(stream, 4096);
    ASSERT_TRUE(port.shown().WaitFor(20, 20s));
    const std::vector<RenderRecord::Shown> neutral = port.shown().Pictures();
    for (size_t i = 0; i < neutral.size(); i += 5)
        EXPECT_EQ(neutral[i].y, m_reference[i].y) << "picture " << i;

    ASSERT_EQ(QxPlay_SetColor(port.port(), 0, 80, 64, 64, 64), 1);
    port.Feed(stream, 4096);
    ASSERT_TRUE(port.shown().WaitFor(40, 20s));
    const RenderRecord::Shown last = port.shown().Pictures().back();
    const qx::kit::Picture& ref = m_reference.back();
    int64_t brighter = 0;
    for (size_t i = 0; i < kLuma; ++i)
        brighter += last.y[i] > ref.y[i] ? 1 : 0;
    EXPECT_GT(brighter, static_cast<int64_t>(kLuma / 2)) << "a brighter picture is shown";
}

TEST_F(FrameDelivery, ACaptureIsServedByTheNextPictureAndTheLaterNameWins) {
    PlaybackPort port(1);
    const std::string first = TempPath("first.bmp");
    const std::string second = TempPath("second.bmp");
    std::remove(first.c_str());
    std::remove(second.c_str());
    ASSERT_EQ(QxPlay_CaptureBmpPicture(port.port(), nullptr), 0);
    ASSERT_EQ(QxPlay_CaptureBmpPicture(port.port(), first.c_str()), 1);
    ASSERT_EQ(QxPlay_CaptureBmpPicture(port.port(), second.c_str()), 1);
    ASSERT_EQ(QxPlay_SetDisplayCallBack(port.port(), OnDisplay), 1);
    ASSERT_TRUE(port.Play());
    port.Feed(Stream(20), 4096);
    ASSERT_TRUE(port.shown().WaitFor(5, 20s));
    EXPECT_FALSE(Exists(first));
    ASSERT_TRUE(Exists(second));
    const std::vector<uint8_t> bmp = ReadFile(second);
    ASSERT_EQ(bmp.size(), 54 + kLuma * 3);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(U32(bmp, 18), static_cast<uint32_t>(kWidth));
    EXPECT_EQ(U32(bmp, 22), static_cast<uint32_t>(kHeight));
    {
        // The captured picture took the display callback's turn; the next one got it.
        std::lock_guard<std::mutex> lock(gMutex);
        EXPECT_EQ(gDisplayed.size(), 2u);
    }
    std::remove(second.c_str());
    EXPECT_EQ(QxPlay_Stop(port.port()), 1);
}

TEST_F(FrameDelivery, MemoryImagesOfTheCurrentPicture) {
    PlaybackPort port(1);
    std::vector<uint8_t> image(54 + kLuma * 3);
    uint32_t size = 0;
    EXPECT_EQ(QxPlay_GetBMP(port.port(), image.data(), image.size(), &size), 0) << "no picture yet";
    EXPECT_EQ(QxPlay_GetJPEG(port.port(), image.data(), image.size(), &size), 0);
    ASSERT_TRUE(port.Play());
    port.Feed(Stream(10), 4096);
    ASSERT_TRUE(port.shown().WaitFor(10, 20s));
    port.shown().WaitQuiet(200ms, 2s);

    EXPECT_EQ(QxPlay_GetBMP(port.port(), image.data(), image.size() - 1, &size), 0);
    ASSERT_EQ(QxPlay_GetBMP(port.port(), image.data(), image.size(), &size), 1);
    EXPECT_EQ(size, image.size());
    EXPECT_EQ(U32(image, 2), size);
    EXPECT_EQ(U32(image, 10), 54u);
    // The last picture's top-left pixel is the last row of the bottom-up image; the
    // counter's blocks make it black or white.
    const RenderRecord::Shown last = port.shown().Pictures().back();
    const uint8_t* topLeft = image.data() + 54 + (kHeight - 1) * kWidth * 3;
    uint8_t r, g, b;
    qx::YuvPixelToRgb(last.y[0], last.u[0], last.v[0], &r, &g, &b);
    EXPECT_EQ(topLeft[0], b);
    EXPECT_EQ(topLeft[1], g);
    EXPECT_EQ(topLeft[2], r);

    std::vector<uint8_t> jpeg(kLuma * 3 / 2);
    EXPECT_EQ(QxPlay_GetJPEG(port.port(), jpeg.data(), jpeg.size() - 1, &size), 0);
    ASSERT_EQ(QxPlay_GetJPEG(port.port(), jpeg.data(), jpeg.size(), &size), 1);
    ASSERT_GT(size, 100u);
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    EXPECT_EQ(jpeg[size - 2], 0xFF);
    EXPECT_EQ(jpeg[size - 1], 0xD9);
    EXPECT_EQ(QxPlay_Stop(port.port()), 1);
}

TEST_F(FrameDelivery, RectanglesAndLinesAreDrawnWhereTheyWereAsked) {
    PlaybackPort port(3);
    ASSERT_EQ(QxPlay_SetRectangle(port.port(), 40, 30, 100, 60, 255, 0, 0, 0), 1);
    ASSERT_EQ(QxPlay_SetRectangle(port.port(), 200, 200, 50, 50, 0, 0, 255, 4), 1);
    ASSERT_EQ(QxPlay_SetRectangle(port.port(), 0, 0, 10, 10, 0, 0, 255, 5), 0);
    ASSERT_EQ(QxPlay_SetRectangle(port.port(), 0, 0, 10, 10, 0, 0, 255, -1), 0);
    // Green, a horizontal line at row 250.
    ASSERT_EQ(QxPlay_DrawLine(port.port(), 20, 250, 300, 250, 0x00FF00, 7, 0), 1);
    ASSERT_TRUE(port.Play());
    port.Feed(Stream(10), 4096);
    ASSERT_TRUE(port.shown().WaitFor(10, 20s));
    const RenderRecord::Shown shown = port.shown().Pictures().back();
    const auto luma = [&](int x, int y) { return shown.y[static_cast<size_t>(y) * kWidth + x]; };
    const auto v = [&](int x, int y) {
        return shown.v[static_cast<size_t>(y / 2) * (kWidth / 2) + x / 2];
    };
    // Red is Y 76, Cr 255: the border, 1 pixel at this width, on all four sides.
    EXPECT_EQ(luma(70, 30), 76);
    EXPECT_EQ(v(70, 30), 255);
    EXPECT_EQ(luma(70, 90), 76);
    EXPECT_EQ(luma(40, 60), 76);
    EXPECT_EQ(luma(140, 60), 76);
    // Slot 4 is kept but not drawn: blue would be Y 29.
    EXPECT_NE(luma(225, 200), 29);
    // Green is Y 149.
    EXPECT_EQ(luma(150, 250), 149);

    // Removed overlays are gone from the next pictures.
    ASSERT_EQ(QxPlay_RemoveRectangle(port.port(), 0), 1);
    ASSERT_EQ(QxPlay_RemoveLine(port.port(), 7), 1);
    ASSERT_EQ(QxPlay_RemoveLine(port.port(), 12345), 1);
    const size_t before = port.shown().Count();
    port.Feed(Stream(10), 4096);
    ASSERT_TRUE(port.shown().WaitFor(before + 10, 20s));
    const RenderRecord::Shown after = port.shown().Pictures().back();
    EXPECT_NE(after.y[static_cast<size_t>(30) * kWidth + 70], 76);
    EXPECT_NE(after.y[static_cast<size_t>(250) * kWidth + 150], 149);
}

// Every overlay export refuses a port that does not exist and a library not started.
TEST(OverlayExports, PortChecksAndResults) {
    char text[50];
    EXPECT_EQ(QxPlay_GetPlaySize(3), 0);
    EXPECT_EQ(QxPlay_SetRectangle(3, 0, 0, 1, 1, 0, 0, 0, 0), 0);
    EXPECT_EQ(QxPlay_GetWaterMask(3, text), 0);
    ASSERT_EQ(QxPlay_Init(), 1);
    EXPECT_EQ(QxPlay_GetPlaySize(3), -1);
    EXPECT_EQ(QxPlay_SetPlayMode(3, 1), 0);
    EXPECT_EQ(QxPlay_CaptureJpegPicture(3, "/tmp/x.jpg"), 0);
    int32_t port = -1;
    ASSERT_EQ(QxPlay_GetPort(&port), 1);
    EXPECT_EQ(QxPlay_GetPlaySize(port), 0);
    EXPECT_EQ(QxPlay_SetPlayMode(port, 1), 1);
    EXPECT_EQ(QxPlay_GetWaterMask(port, nullptr), 1);
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(QxPlay_GetWaterMask(port, text), 1);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(QxPlay_SetWaterMaskCB(port, nullptr, nullptr), 1);
    QxPlay_FreePort(port);
    QxPlay_Destory();
}

class ConvertExports : public testing::Test {
  protected:
    void TearDown() override { std::remove(m_path.c_str()); }
    std::string m_path = TempPath("convert.bmp");
};

TEST_F(ConvertExports, AnRgbBufferBecomesABmpWithItsRedAndBlueExchanged) {
    std::vector<char> rgb(4 * 2 * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = 10;
        rgb[i + 1] = 20;
        rgb[i + 2] = 30;
    }
    ASSERT_EQ(QxPlay_ConvertToBmpFile(rgb.data(), 0, 4, 2, 1, m_path.c_str()), 1);
    EXPECT_EQ(rgb[0], 30) << "the caller's buffer is left blue, green, red";
    EXPECT_EQ(rgb[2], 10);
    const std::vector<uint8_t> bmp = ReadFile(m_path);
    ASSERT_EQ(bmp.size(), 54u + 24u);
    EXPECT_EQ(bmp[54], 30);
    EXPECT_EQ(bmp[56], 10);
}

TEST_F(ConvertExports, AYv12BufferBecomesBmpAndJpegFiles) {
    std::vector<char> yv12(64 * 32 * 3 / 2, static_cast<char>(128));
    ASSERT_EQ(QxPlay_ConvertToBmpFile(yv12.data(), 0, 64, 32, 0, m_path.c_str()), 1);
    const std::vector<uint8_t> bmp = ReadFile(m_path);
    ASSERT_EQ(bmp.size(), 54u + 64 * 32 * 3);
    EXPECT_NEAR(bmp[54], 128, 2) << "grey";
    const std::string jpeg = TempPath("convert.jpg");
    ASSERT_EQ(QxPlay_SetJpegQuality(50), 1);
    ASSERT_EQ(QxPlay_ConvertToJpegFile(yv12.data(), 0, 64, 32, 0, jpeg.c_str()), 1);
    const std::vector<uint8_t> file = ReadFile(jpeg);
    ASSERT_GT(file.size(), 2u);
    EXPECT_EQ(file[0], 0xFF);
    EXPECT_EQ(file[1], 0xD8);
    std::remove(jpeg.c_str());
    QxPlay_SetJpegQuality(80);
}

TEST_F(ConvertExports, BadArgumentsAndUnwritableFilesReportFailure) {
    std::vector<char> rgb(16 * 16 * 3);
    EXPECT_EQ(QxPlay_ConvertToBmpFile(rgb.data(), 0, 16, 16, 2, m_path.c_str()), 1);
    EXPECT_FALSE(Exists(m_path)) << "another type writes nothing";
    EXPECT_EQ(QxPlay_ConvertToBmpFile(nullptr, 0, 16, 16, 1, m_path.c_str()), 0);
    EXPECT_EQ(QxPlay_ConvertToBmpFile(rgb.data(), 0, 16, 16, 1, nullptr), 0);
    EXPECT_EQ(QxPlay_ConvertToBmpFile(rgb.data(), 0, 0, 16, 1, m_path.c_str()), 0);
    EXPECT_EQ(QxPlay_ConvertToBmpFile(rgb.data(), 0, 16, -1, 0, m_path.c_str()), 0);
    EXPECT_EQ(QxPlay_ConvertToJpegFile(rgb.data(), 0, 65536, 65536, 1, m_path.c_str()), 0);
    EXPECT_EQ(QxPlay_ConvertToBmpFile(rgb.data(), 0, 16, 16, 1, "/nonexistent/dir/x.bmp"), 0);
    EXPECT_EQ(QxPlay_ConvertToJpegFile(rgb.data(), 0, 16, 16, 1, "/nonexistent/dir/x.jpg"), 0);
    EXPECT_FALSE(Exists(m_path));
}

}  // namespace
