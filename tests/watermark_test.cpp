// Encrypted watermark records in the stream: the text reaches the host when the record
// belongs to the picture it stands before, an error text when it does not, and damaged
// records are harmless.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "decode/FrameDescription.h"
#include "streamkit/WatermarkSei.h"
#include "support/PlaybackHarness.h"

using namespace std::chrono_literals;

namespace {

// "watermark information error" in GBK.
const std::string kErrorText = "\xCB\xAE\xD3\xA1\xD0\xC5\xCF\xA2\xB4\xED\xCE\xF3";

// A recording of 30 pictures whose three key packets start with the record of the text;
// edit changes the payload of every key packet after the first `keep`.
std::vector<qx::kit::Packet> MarkedPackets(
    const std::string& text, int keep = 0,
    const std::function<void(std::vector<uint8_t>&)>& edit = nullptr) {
    qx::kit::StreamOptions options;
    options.frames = 30;
    options.gop = 10;
    options.watermark = text;
    std::vector<qx::kit::Packet> packets = qx::kit::StreamWriter::MakePackets(options);
    int keys = 0;
    for (qx::kit::Packet& packet : packets)
        if (packet.header.knd == 0 && packet.payload.size() > 5 &&
            (packet.payload[4] & 0x1F) == 6 && keys++ >= keep && edit)
            edit(packet.payload);
    EXPECT_EQ(keys, text.empty() ? 0 : 3);
    return packets;
}

struct Played {
    std::vector<std::string> texts;  // as the callback gave them
    std::string last;                // as QxPlay_GetWaterMask gives it after the stream
};

Played Play(int mode, const std::vector<qx::kit::Packet>& packets) {
    struct Texts {
        std::mutex mutex;
        std::vector<std::string> seen;
    } texts;
    const auto onWatermark = [](const char* text, void* user) {
        auto* t = static_cast<Texts*>(user);
        std::lock_guard<std::mutex> lock(t->mutex);
        if (text != nullptr)  // the end of the stream
            t->seen.emplace_back(text);
    };
    PlaybackPort port(mode);
    EXPECT_EQ(QxPlay_SetWaterMaskCB(port.port(), onWatermark, &texts), 1);
    EXPECT_TRUE(port.Play());
    port.Feed(WithEndMarker(qx::kit::Serialize(packets)), 4096);
    EXPECT_TRUE(port.shown().WaitFor(30, 20s)) << port.shown().Count();
    port.shown().WaitQuiet(200ms, 2s);
    // Filled beyond the text so that a missing terminator shows.
    std::string last(50, 'x');
    EXPECT_EQ(QxPlay_GetWaterMask(port.port(), last.data()), 1);
    EXPECT_EQ(QxPlay_Stop(port.port()), 1);
    std::lock_guard<std::mutex> lock(texts.mutex);
    return {texts.seen, last.c_str()};
}

TEST(Watermark, TheTextOfAnEncryptedStreamReachesTheHostAndNoneIsNoError) {
    // Live streams are not deciphered; the three key pictures of a recording without
    // records report an empty text, not the error text.
    for (const auto& [mode, mark] : std::vector<std::pair<int, std::string>>{
             {1, "Gate 3, recorder 12"}, {0, "live"}, {1, ""}}) {
        const Played played = Play(mode, MarkedPackets(mark));
        const std::string want = mode == 1 ? mark : "";
        EXPECT_EQ(played.texts, std::vector<std::string>(mode == 1 ? 3 : 0, want)) << mark;
        EXPECT_EQ(played.last, want) << mark;
    }
}

TEST(Watermark, ARecordOfAnotherPictureGivesTheErrorText) {
    // The same text, described for a picture of another size, as if spliced in.
    const auto foreign = qx::kit::MakeWatermarkRecord(
        qx::DescribeFrame(640, 480, 640, 320, qx::kFrameTypeKey, 0), "copied");
    const std::vector<uint8_t> sei = qx::kit::BuildWatermarkSei(foreign.data());
    const Played played = Play(1, MarkedPackets("copied", 0, [&](std::vector<uint8_t>& payload) {
                                   ASSERT_GE(payload.size(), sei.size());
                                   std::copy(sei.begin(), sei.end(), payload.begin());
                               }));
    EXPECT_EQ(played.texts, std::vector<std::string>(3, kErrorText));
    EXPECT_EQ(played.last, kErrorText);
}

TEST(Watermark, DamagedRecordLengthsAreHarmless) {
    // The first key packet stays whole: its record's length also says where its
    // parameter sets begin, and without them nothing would play at all.
    const uint8_t lengths[][2] = {{0xFF, 0xFF}, {0, 0}, {0, 3}, {1, 200}, {0x7F, 0xFF}, {0, 96}};
    for (const auto& length : lengths) {
        const Played played =
            Play(1, MarkedPackets("damaged", 1, [&](std::vector<uint8_t>& payload) {
                     payload[27] = length[0];
                     payload[28] = length[1];
                 }));
        ASSERT_FALSE(played.texts.empty());
        EXPECT_EQ(played.texts.front(), "damaged");
        for (const std::string& text : played.texts)
            EXPECT_LE(text.size(), 50u);
    }
}

}  // namespace
