// Streams played through the C API show every picture once, in order, with the
// pixels libavcodec decodes from the same elementary stream.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <tuple>

#include "support/PlaybackHarness.h"

using namespace std::chrono_literals;
using qx::kit::Codec;

namespace {

struct Case {
    Codec codec;
    int width;
    int height;
    int frames;
    int mode;
    // The live jitter buffer in ms; negative keeps the port's default.
    int cache = -1;
};

std::string Name(const testing::TestParamInfo<Case>& info) {
    const Case& c = info.param;
    return std::string(c.codec == Codec::H264 ? "H264_" : "H265_") + std::to_string(c.width) + "x" +
           std::to_string(c.height) + "_mode" + std::to_string(c.mode) +
           (c.cache >= 0 ? "_cache" + std::to_string(c.cache) : "");
}

class PlaysEveryPicture : public testing::TestWithParam<Case> {};

TEST_P(PlaysEveryPicture, OnceInOrderWithTheReferencePixels) {
    const Case& c = GetParam();
    qx::kit::StreamOptions options;
    options.codec = c.codec;
    options.width = c.width;
    options.height = c.height;
    options.frames = c.frames;
    options.gop = 8;
    options.audioKind = qx::kit::kAudioALaw;
    const std::vector<qx::kit::Packet> packets = qx::kit::StreamWriter::MakePackets(options);
    const std::vector<qx::kit::Picture> reference =
        qx::kit::ReferenceDecoder::DecodeElementaryStream(c.codec,
                                                          qx::kit::ElementaryStream(packets));
    ASSERT_EQ(reference.size(), static_cast<size_t>(c.frames));

    PlaybackPort port(c.mode);
    if (c.cache >= 0) {
        ASSERT_EQ(QxPlay_SetCacheTime(port.port(), c.cache), 1);
    }
    ASSERT_TRUE(port.Play());
    // Network-sized chunks that cut packets anywhere.
    port.Feed(WithEndMarker(qx::kit::Serialize(packets)), 1400);
    ASSERT_TRUE(port.shown().WaitFor(reference.size(), 30s))
        << "shown " << port.shown().Count() << " of " << reference.size();
    std::this_thread::sleep_for(200ms);
    const std::vector<RenderRecord::Shown> shown = port.shown().Pictures();
    ASSERT_EQ(shown.size(), reference.size());
    for (size_t i = 0; i < shown.size(); ++i) {
        SCOPED_TRACE("picture " + std::to_string(i));
        EXPECT_EQ(shown[i].width, c.width);
        EXPECT_EQ(shown[i].height, c.height);
        EXPECT_EQ(shown[i].window, kTestWindow);
        EXPECT_EQ(qx::kit::ReadCounter(shown[i].y.data(), c.width, c.width, c.height),
                  static_cast<int64_t>(i));
        EXPECT_TRUE(shown[i].y == reference[i].y && shown[i].u == reference[i].u &&
                    shown[i].v == reference[i].v);
    }
    EXPECT_EQ(QxPlay_Stop(port.port()), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, PlaysEveryPicture,
    testing::Values(Case{Codec::H264, 352, 288, 20, 0}, Case{Codec::H264, 352, 288, 20, 1},
                    Case{Codec::H264, 352, 288, 20, 3}, Case{Codec::H265, 352, 288, 20, 0},
                    Case{Codec::H265, 352, 288, 20, 1}, Case{Codec::H265, 352, 288, 20, 3},
                    Case{Codec::H264, 1280, 720, 16, 0}, Case{Codec::H264, 1280, 720, 16, 1},
                    Case{Codec::H264, 1280, 720, 16, 3}, Case{Codec::H265, 1280, 720, 16, 0},
                    Case{Codec::H265, 1280, 720, 16, 1}, Case{Codec::H265, 1280, 720, 16, 3},
                    Case{Codec::H264, 352, 288, 20, 0, 0}, Case{Codec::H265, 352, 288, 20, 0, 0}),
    Name);

}  // namespace
