// Damaged and hostile input never crashes or hangs a port, and the good packets
// around the damage still play.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "support/LogCapture.h"
#include "support/PlaybackHarness.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using qx::kit::Packet;

namespace {

qx::kit::StreamOptions Small(int frames) {
    qx::kit::StreamOptions options;
    options.width = 192;
    options.height = 144;
    options.frames = frames;
    options.gop = 10;
    options.audioKind = qx::kit::kAudioMuLaw;
    return options;
}

std::set<int64_t> Counters(RenderRecord& record) {
    std::set<int64_t> counters;
    for (const auto& s : record.Pictures())
        counters.insert(qx::kit::ReadCounter(s.y.data(), s.width, s.width, s.height));
    return counters;
}

Packet Bogus(int32_t nalLen, size_t bodyBytes) {
    Packet p;
    p.header.knd = qx::kKindH264;
    std::mt19937 rng(3);
    p.payload = qx::kit::MakeJunk(bodyBytes, rng);
    p.header.nal_len = nalLen;
    return p;
}

class EveryMode : public testing::TestWithParam<int> {};

TEST_P(EveryMode, ImpossibleLengthsBetweenGoodPacketsLoseNothingElse) {
    const std::vector<Packet> good = qx::kit::StreamWriter::MakePackets(Small(20));
    // Each chunk a good packet, some followed by bad headers.
    std::vector<std::vector<uint8_t>> chunks;
    size_t video = 0;
    for (const Packet& p : good) {
        chunks.emplace_back();
        qx::kit::AppendPacket(p, chunks.back());
        if (qx::kit::IsVideoKind(p.header.knd) && ++video % 4 == 0) {
            for (int32_t bad : {-7, INT32_MAX, 0x1FFFF0})
                qx::kit::AppendPacket(Bogus(bad, 50), chunks.back());
        }
    }
    chunks.push_back(EndMarker());
    PlaybackPort port(GetParam());
    ASSERT_TRUE(port.Play());
    for (auto& chunk : chunks)
        ASSERT_TRUE(port.Give(chunk));
    EXPECT_TRUE(port.shown().WaitFor(20, 20s)) << port.shown().Count();
    std::set<int64_t> expected;
    for (int64_t i = 0; i < 20; ++i)
        expected.insert(i);
    EXPECT_EQ(Counters(port.shown()), expected);
}

TEST_P(EveryMode, DamagedStreamsPlayWhatTheyCanAndStopPromptly) {
    qx::kit::StreamOptions options = Small(60);
    // A live gap restarts the cache of 500 ms (12.5 frames), so gaps come rarer than that.
    options.damage.idxGapEvery = 20;
    options.damage.badLenEvery = 11;
    options.damage.junkEvery = 5;
    options.damage.leadingJunk = 333;
    options.damage.cutPacket = 30;
    options.damage.cutPacketBytes = 90;
    const std::vector<uint8_t> bytes = qx::kit::StreamWriter::MakeStream(options);
    PlaybackPort port(GetParam());
    ASSERT_TRUE(port.Play());
    const bool live = GetParam() == 0;
    const auto chunks = live ? ChunksAtMarkers(bytes) : qx::kit::SplitChunks(bytes, 1, 3000, 9);
    for (const auto& chunk : chunks) {
        QxPlay_InputData(port.port(), const_cast<uint8_t*>(chunk.data()),
                         static_cast<uint32_t>(chunk.size()));
        // A gap restarts a live port's cache, which only real-time input fills again.
        if (live)
            std::this_thread::sleep_for(15ms);
    }
    port.Feed(EndMarker(), 64);
    port.shown().WaitFor(1, 10s);
    port.shown().WaitQuiet(500ms, 15s);
    EXPECT_GE(Counters(port.shown()).size(), 10u);
    const auto start = Clock::now();
    EXPECT_EQ(QxPlay_Stop(port.port()), 1);
    EXPECT_LT(Clock::now() - start, 2s);
}

TEST_P(EveryMode, TruncatedAndRandomInputDoesNotHang) {
    std::vector<uint8_t> bytes = qx::kit::StreamWriter::MakeStream(Small(15));
    bytes.resize(bytes.size() * 2 / 3);
    std::mt19937 rng(11);
    for (int i = 0; i < 20; ++i) {
        std::vector<uint8_t> random(1 + rng() % 5000);
        for (auto& b : random)
            b = static_cast<uint8_t>(rng() % 3 == 0 ? 0x41 : rng());
        bytes.insert(bytes.end(), random.begin(), random.end());
    }
    PlaybackPort port(GetParam());
    ASSERT_TRUE(port.Play());
    port.Feed(bytes, 777);
    std::this_thread::sleep_for(300ms);
    const auto start = Clock::now();
    EXPECT_EQ(QxPlay_Stop(port.port()), 1);
    EXPECT_LT(Clock::now() - start, 2s);
}

INSTANTIATE_TEST_SUITE_P(Modes, EveryMode, testing::Values(0, 1, 3),
                         [](const testing::TestParamInfo<int>& info) {
                             return "mode" + std::to_string(info.param);
                         });

TEST(Sei, AVendorSeiInFrontOfTheFirstParameterSetIsCutOff) {
    std::vector<Packet> packets = qx::kit::StreamWriter::MakePackets(Small(10));
    // The length bytes of this SEI say 40.
    std::vector<uint8_t> sei(40, 0x11);
    sei[0] = 0, sei[1] = 0, sei[2] = 0, sei[3] = 1, sei[4] = 0x06;
    sei[27] = 0, sei[28] = 11;
    for (Packet& p : packets) {
        if (p.header.knd == qx::kKindH264) {
            p.payload.insert(p.payload.begin(), sei.begin(), sei.end());
            p.header.nal_len = static_cast<int32_t>(p.payload.size());
            break;
        }
    }
    PlaybackPort port(1);
    ASSERT_TRUE(port.Play());
    port.Feed(WithEndMarker(qx::kit::Serialize(packets)), 65536);
    EXPECT_TRUE(port.shown().WaitFor(10, 10s)) << port.shown().Count();
}

TEST(Sei, APacketShorterThanItsSeiDoesNotStallPlayback) {
    std::vector<Packet> packets = qx::kit::StreamWriter::MakePackets(Small(10));
    Packet shortSei;
    shortSei.header.knd = qx::kKindH264;
    shortSei.payload.assign(40, 0x11);
    shortSei.payload[0] = 0, shortSei.payload[1] = 0, shortSei.payload[2] = 0;
    shortSei.payload[3] = 1, shortSei.payload[4] = 0x06;
    shortSei.payload[27] = 3, shortSei.payload[28] = 0;
    // ...and the SPS unit it claims to lead is where its length points.
    shortSei.header.nal_len = 40;
    packets.insert(packets.begin(), shortSei);
    PlaybackPort port(1);
    ASSERT_TRUE(port.Play());
    port.Feed(WithEndMarker(qx::kit::Serialize(packets)), 65536);
    EXPECT_TRUE(port.shown().WaitFor(10, 10s)) << port.shown().Count();
}

TEST(ParameterSets, AnUnreadableOneDropsTheDecoderUntilTheNextKeyPicture) {
    qx::kit::StreamOptions options = Small(30);
    options.audioKind = qx::kit::kAudioNone;
    std::vector<Packet> packets = qx::kit::StreamWriter::MakePackets(options);
    Packet broken;
    broken.header = packets[0].header;
    broken.payload = {0, 0, 0, 1, 0x67, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    broken.header.nal_len = static_cast<int32_t>(broken.payload.size());
    // Behind picture 4: pictures 5..9 have no decoder, picture 10 is the next key.
    packets.insert(packets.begin() + 5, broken);
    PlaybackPort port(1);
    ASSERT_TRUE(port.Play());
    port.Feed(WithEndMarker(qx::kit::Serialize(packets)), 65536);
    port.shown().WaitFor(1, 10s);
    port.shown().WaitQuiet(500ms, 15s);
    const std::set<int64_t> counters = Counters(port.shown());
    for (int64_t i = 0; i < 30; ++i) {
        if (i < 5 || i >= 10) {
            EXPECT_EQ(counters.count(i), 1u) << i;
        } else {
            EXPECT_EQ(counters.count(i), 0u) << i;
        }
    }
}

TEST(LatencyCut, AStalledRendererWithLiveInputCutsBackToAKeyPacketAndRecovers) {
    LogCapture log;
    qx::kit::StreamOptions options = Small(150);
    options.gop = 25;
    options.audioKind = qx::kit::kAudioNone;
    const std::vector<Packet> packets = qx::kit::StreamWriter::MakePackets(options);
    PlaybackPort port(0);
    QxPlay_SetCacheTime(port.port(), 300);
    ASSERT_TRUE(port.Play());
    std::thread feeder([&] {
        // A camera: one packet every 40 ms.
        for (const Packet& p : packets) {
            const std::vector<uint8_t> b = qx::kit::Serialize({p});
            QxPlay_InputData(port.port(), const_cast<uint8_t*>(b.data()),
                             static_cast<uint32_t>(b.size()));
            std::this_thread::sleep_for(40ms);
        }
    });
    ASSERT_TRUE(port.shown().WaitFor(5, 10s));
    port.shown().SetStalled(true);
    std::this_thread::sleep_for(2500ms);
    port.shown().SetStalled(false);
    feeder.join();
    std::this_thread::sleep_for(1000ms);
    EXPECT_TRUE(log.Contains("lost frame"));
    const std::set<int64_t> counters = Counters(port.shown());
    EXPECT_LT(counters.size(), packets.size() - 20) << "the backlog was skipped";
    EXPECT_EQ(*counters.rbegin(), static_cast<int64_t>(packets.size()) - 1)
        << "the live edge is shown after the cut";
}

}  // namespace
