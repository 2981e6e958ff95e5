// Encrypted watermark records in the stream: the text reaches the host when the record
// belongs to the picture it stands before, an error text when it does not, and damaged
// records are harmless.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "decode/FrameDescription.h"
#include "streamkit/WatermarkSei.h"
#include "support/PlaybackHarness.h"

using namespace std::chrono_literals;

namespace {

// "watermark information error" in GBK.
const std::string kErrorText = "\xCB\xAE\xD3\xA1\xD0\xC5\xCF\xA2\xB4\xED\xCE\xF3";

struct Texts {
    std::mutex mutex;
    std::vector<std::string> seen;
    int nulls = 0;
};

void OnWatermark(const char* text, void* user) {
    auto* texts = static_cast<Texts*>(user);
    std::lock_guard<std::mutex> lock(texts->mutex);
    if (text == nullptr)
        ++texts->nulls;
    else
        texts->seen.emplace_back(text);
}

std::vector<qx::kit::Packet> MarkedPackets(const std::string& text) {
    qx::kit::StreamOptions options;
    options.frames = 30;
    options.gop = 10;
    options.watermark = text;
    return qx::kit::StreamWriter::MakePackets(options);
}

bool IsKeyPacket(const qx::kit::Packet& packet) {
    return packet.header.knd == 0 && packet.payload.size() > 5 && (packet.payload[4] & 0x1F) == 6;
}

class Watermark : public testing::Test {
  protected:
    std::vector<std::string> Play(int mode, const std::vector<qx::kit::Packet>& packets,
                                  char* lastText) {
        PlaybackPort port(mode);
        EXPECT_EQ(QxPlay_SetWaterMaskCB(port.port(), OnWatermark, &m_texts), 1);
        EXPECT_TRUE(port.Play());
        port.Feed(WithEndMarker(qx::kit::Serialize(packets)), 4096);
        EXPECT_TRUE(port.shown().WaitFor(30, 20s)) << port.shown().Count();
        port.shown().WaitQuiet(200ms, 2s);
        EXPECT_EQ(QxPlay_GetWaterMask(port.port(), lastText), 1);
        EXPECT_EQ(QxPlay_Stop(port.port()), 1);
        std::lock_guard<std::mutex> lock(m_texts.mutex);
        return m_texts.seen;
    }
    Texts m_texts;
};

TEST_F(Watermark, TheTextOfAnEncryptedStreamReachesTheHost) {
    char last[51] = {};
    const std::vector<std::string> seen = Play(1, MarkedPackets("Gate 3, recorder 12"), last);
    // One record for each of the three key pictures.
    ASSERT_EQ(seen.size(), 3u);
    for (const std::string& text : seen)
        EXPECT_EQ(text, "Gate 3, recorder 12");
    EXPECT_STREQ(last, "Gate 3, recorder 12");
}

TEST_F(Watermark, ARecordOfAnotherPictureGivesTheErrorText) {
    std::vector<qx::kit::Packet> packets = MarkedPackets("copied");
    // The same text, described for a picture of another size, as if spliced in.
    const auto foreign = qx::kit::MakeWatermarkRecord(
        qx::DescribeFrame(640, 480, 640, 320, qx::kFrameTypeKey, 0), "copied");
    const std::vector<uint8_t> sei = qx::kit::BuildWatermarkSei(foreign.data());
    int replaced = 0;
    for (qx::kit::Packet& packet : packets) {
        if (!IsKeyPacket(packet))
            continue;
        ASSERT_GE(packet.payload.size(), sei.size());
        std::copy(sei.begin(), sei.end(), packet.payload.begin());
        ++replaced;
    }
    ASSERT_EQ(replaced, 3);
    char last[51] = {};
    const std::vector<std::string> seen = Play(1, packets, last);
    ASSERT_EQ(seen.size(), 3u);
    for (const std::string& text : seen)
        EXPECT_EQ(text, kErrorText);
    EXPECT_EQ(std::string(last), kErrorText);
}

TEST_F(Watermark, LiveStreamsAreNotDeciphered) {
    char last[51];
    std::memset(last, 'x', sizeof last);
    const std::vector<std::string> seen = Play(0, MarkedPackets("live"), last);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(last[0], '\0');
}

TEST_F(Watermark, DamagedRecordLengthsAreHarmless) {
    // The first key packet stays whole: its record's length also says where its
    // parameter sets begin, and without them nothing would play at all.
    const uint8_t lengths[][2] = {{0xFF, 0xFF}, {0, 0}, {0, 3}, {1, 200}, {0x7F, 0xFF}, {0, 96}};
    for (const auto& length : lengths) {
        std::vector<qx::kit::Packet> packets = MarkedPackets("damaged");
        bool first = true;
        for (qx::kit::Packet& packet : packets) {
            if (!IsKeyPacket(packet))
                continue;
            if (!first) {
                packet.payload[27] = length[0];
                packet.payload[28] = length[1];
            }
            first = false;
        }
        char last[51] = {};
        const std::vector<std::string> seen = Play(1, packets, last);
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.front(), "damaged");
        for (const std::string& text : seen)
            EXPECT_LE(text.size(), 50u);
        std::lock_guard<std::mutex> lock(m_texts.mutex);
        m_texts.seen.clear();
    }
}

}  // namespace
