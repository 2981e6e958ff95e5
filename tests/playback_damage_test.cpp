// Damaged and hostile input never crashes or hangs a port, and the good packets
// around the damage still play.
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <random>
#include <set>
#include <thread>

#include "support/LogCapture.h"
#include "support/PlaybackHarness.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using qx::kit::Packet;

namespace {

qx::kit::StreamOptions Small(int frames, qx::kit::AudioKind audio = qx::kit::kAudioMuLaw) {
    qx::kit::StreamOptions options;
    options.width = 192;
    options.height = 144;
    options.frames = frames;
    options.gop = 10;
    options.audioKind = audio;
    return options;
}

// The frame numbers of the pictures shown, in order.
std::vector<int64_t> Counters(RenderRecord& record) {
    std::vector<int64_t> counters;
    for (const auto& s : record.Pictures())
        counters.push_back(qx::kit::ReadCounter(s.y.data(), s.width, s.width, s.height));
    return counters;
}

class EveryMode : public testing::TestWithParam<int> {};

TEST_P(EveryMode, DamageCostsOnlyTheDamagedPacketsAndThePortStillStopsPromptly) {
    PlaybackPort port(GetParam());
    ASSERT_TRUE(port.Play());
    // Each chunk a good packet, some followed by impossible lengths: nothing else is lost.
    std::mt19937 rng(3);
    size_t video = 0;
    for (const Packet& p : qx::kit::StreamWriter::MakePackets(Small(20))) {
        std::vector<uint8_t> chunk;
        qx::kit::AppendPacket(p, chunk);
        if (qx::kit::IsVideoKind(p.header.knd) && ++video % 4 == 0) {
            for (int32_t bad : {-7, INT32_MAX, 0x1FFFF0}) {
                Packet bogus{p.header, qx::kit::MakeJunk(50, rng)};
                bogus.header.nal_len = bad;
                qx::kit::AppendPacket(bogus, chunk);
            }
        }
        ASSERT_TRUE(port.Give(chunk));
    }
    ASSERT_TRUE(port.Give(EndMarker()));
    EXPECT_TRUE(port.shown().WaitFor(20, 20s)) << port.shown().Count();
    std::vector<int64_t> expected(20);
    std::iota(expected.begin(), expected.end(), 0);
    ASSERT_EQ(Counters(port.shown()), expected);

    // Then a stream with every kind of damage plays what it can.
    qx::kit::StreamOptions options = Small(60);
    // A live gap restarts the cache of 500 ms (12.5 frames), so gaps come rarer than that.
    options.damage.idxGapEvery = 20;
    options.damage.badLenEvery = 11;
    options.damage.junkEvery = 5;
    options.damage.leadingJunk = 333;
    options.damage.cutPacket = 30;
    options.damage.cutPacketBytes = 90;
    const std::vector<uint8_t> bytes = qx::kit::StreamWriter::MakeStream(options);
    const bool live = GetParam() == 0;
    for (auto& chunk : live ? ChunksAtMarkers(bytes) : qx::kit::SplitChunks(bytes, 1, 3000, 9)) {
        QxPlay_InputData(port.port(), chunk.data(), chunk.size());
        // A gap restarts a live port's cache, which only real-time input fills again.
        if (live)
            std::this_thread::sleep_for(15ms);
    }
    port.Feed(EndMarker(), 64);
    port.shown().WaitFor(21, 10s);
    port.shown().WaitQuiet(500ms, 15s);
    const std::vector<int64_t> counters = Counters(port.shown());
    EXPECT_GE(std::set<int64_t>(counters.begin() + 20, counters.end()).size(), 10u);

    // Last a stream cut off in a packet and random bytes full of marker bytes.
    std::vector<uint8_t> tail = qx::kit::StreamWriter::MakeStream(Small(15));
    tail.resize(tail.size() * 2 / 3);
    while (tail.size() < 100000)
        tail.push_back(static_cast<uint8_t>(rng() % 3 == 0 ? 0x41 : rng()));
    port.Feed(tail, 777);
    std::this_thread::sleep_for(300ms);
    const auto start = Clock::now();
    EXPECT_EQ(QxPlay_Stop(port.port()), 1);
    EXPECT_LT(Clock::now() - start, 2s);
}

INSTANTIATE_TEST_SUITE_P(Modes, EveryMode, testing::Values(0, 1, 3),
                         [](const testing::TestParamInfo<int>& info) {
                             return "mode" + std::to_string(info.param);
                         });

TEST(ParameterSets, VendorSeisAnUnreadableSetAndANewSizeLoseOnlyWhatTheyMust) {
    std::vector<Packet> packets =
        qx::kit::StreamWriter::MakePackets(Small(30, qx::kit::kAudioNone));
    Packet broken{packets[0].header,
                  {0, 0, 0, 1, 0x67, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}};
    broken.header.nal_len = static_cast<int32_t>(broken.payload.size());
    // Behind picture 4: pictures 5..9 have no decoder, picture 10 is the next key.
    packets.insert(packets.begin() + 5, broken);
    // A vendor SEI whose length bytes say 40 in front of the first parameter set is cut
    // off; one in a packet of its own whose length bytes say 768, more than the packet
    // holds, stalls nothing.
    std::vector<uint8_t> sei(40, 0x11);
    sei[0] = 0, sei[1] = 0, sei[2] = 0, sei[3] = 1, sei[4] = 0x06, sei[27] = 0, sei[28] = 11;
    packets[0].payload.insert(packets[0].payload.begin(), sei.begin(), sei.end());
    packets[0].header.nal_len = static_cast<int32_t>(packets[0].payload.size());
    sei[27] = 3, sei[28] = 0;
    packets.insert(packets.begin(), {packets[0].header, sei});
    packets[0].header.nal_len = 40;
    // Then the stream 16 lines taller at the same width, while the decoder is working.
    qx::kit::StreamOptions taller = Small(10, qx::kit::kAudioNone);
    taller.height = 160;
    for (Packet p : qx::kit::StreamWriter::MakePackets(taller)) {
        p.header.idx += 30;
        p.header.pts += qx::kit::StreamWriter::FramePts(30, 25);
        packets.push_back(p);
    }
    PlaybackPort port(1);
    ASSERT_TRUE(port.Play());
    port.Feed(WithEndMarker(qx::kit::Serialize(packets)), 65536);
    port.shown().WaitFor(35, 10s);
    port.shown().WaitQuiet(500ms, 15s);
    std::vector<int64_t> expected = {0, 1, 2, 3, 4};
    for (int64_t i = 10; i < 40; ++i)
        expected.push_back(i % 30);
    EXPECT_EQ(Counters(port.shown()), expected);
    const std::vector<RenderRecord::Shown> shown = port.shown().Pictures();
    for (size_t i = 0; i < shown.size(); ++i)
        EXPECT_EQ(shown[i].height, i < 25 ? 144 : 160) << i;
}

TEST(LatencyCut, AStalledRendererWithLiveInputCutsBackToAKeyPacketAndRecovers) {
    LogCapture log;
    qx::kit::StreamOptions options = Small(150, qx::kit::kAudioNone);
    options.gop = 25;
    const std::vector<Packet> packets = qx::kit::StreamWriter::MakePackets(options);
    PlaybackPort port(0);
    QxPlay_SetCacheTime(port.port(), 300);
    ASSERT_TRUE(port.Play());
    std::thread feeder([&] {
        // A camera: one packet every 40 ms.
        for (const Packet& p : packets) {
            std::vector<uint8_t> b = qx::kit::Serialize({p});
            QxPlay_InputData(port.port(), b.data(), b.size());
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
    const std::vector<int64_t> counters = Counters(port.shown());
    EXPECT_LT(counters.size(), packets.size() - 20) << "the backlog was skipped";
    EXPECT_EQ(counters.back(), static_cast<int64_t>(packets.size()) - 1)
        << "the live edge is shown after the cut";
}

}  // namespace
