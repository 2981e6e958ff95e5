// What the C interface tells a host, checked against what the host saw itself: the
// results of input, recording and play control, the out-values of the exports that
// have nothing to report, and the per-port statistics.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "qxplaylib.h"
#include "render/RendererChoice.h"
#include "streamkit/StreamKit.h"
#include "support/LogCapture.h"
#include "support/PlaybackHarness.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using SteadyClock = std::chrono::steady_clock;

std::string TempFile(const std::string& name) {
    return testing::TempDir() + "/qxhost-" + std::to_string(getpid()) + "-" + name;
}

bool Exists(const std::string& path) {
    return std::ifstream(path).good();
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// An H.264 packet with a slice in it, not only parameter sets.
bool CarriesPicture(const qx::kit::Packet& packet) {
    if (packet.header.knd != 0)
        return false;
    const std::vector<uint8_t>& p = packet.payload;
    for (size_t i = 0; i + 3 < p.size(); ++i) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1 && (p[i + 3] & 0x1f) >= 1 &&
            (p[i + 3] & 0x1f) <= 5)
            return true;
    }
    return false;
}

std::vector<qx::kit::Packet> Packets(int frames, int gop = 10,
                                     qx::kit::AudioKind audio = qx::kit::kAudioNone) {
    qx::kit::StreamOptions options;
    options.frames = frames;
    options.gop = gop;
    options.audioKind = audio;
    return qx::kit::StreamWriter::MakePackets(options);
}

Bytes Stream(int frames, int gop = 10) {
    return qx::kit::Serialize(Packets(frames, gop));
}

std::atomic<int> g_decoded{0};
void CountDecoded(int32_t, char*, int32_t, const QxFrameInfo*, int32_t, int32_t) {
    ++g_decoded;
}

// Waits until the port has decoded n pictures, by the host's own count.
bool WaitDecoded(int n, std::chrono::milliseconds limit) {
    const auto end = SteadyClock::now() + limit;
    while (g_decoded.load() < n && SteadyClock::now() < end)
        std::this_thread::sleep_for(5ms);
    return g_decoded.load() >= n;
}

QxPortStats Stats(int32_t port) {
    QxPortStats stats{};
    stats.size = sizeof stats;
    EXPECT_EQ(QxPlay_GetPortStats(port, &stats), 1);
    return stats;
}

class HostApi : public testing::Test {
  protected:
    void SetUp() override { g_decoded = 0; }
};

TEST_F(HostApi, StartRecordCreatesTheFileOrSaysItCannot) {
    PlaybackPort port(0);
    ASSERT_TRUE(port.Play());
    EXPECT_EQ(QxPlay_StartRecord(port.port(), "/nonexistent-dir/record.qx"), 0);
    EXPECT_EQ(QxPlay_GetRecordSize(port.port()), 0u);
    const std::string path = TempFile("record.qx");
    ASSERT_EQ(QxPlay_StartRecord(port.port(), path.c_str()), 1);
    EXPECT_TRUE(Exists(path)) << "there before any byte is recorded";
    EXPECT_EQ(QxPlay_StopRecord(port.port()), 1);
    std::remove(path.c_str());
}

TEST_F(HostApi, InputVideoDataSaysWhetherTheBytesWereTaken) {
    PlaybackPort port(0);
    Bytes packet = ChunksAtMarkers(Stream(2)).front();
    EXPECT_EQ(QxPlay_InputVideoData(port.port(), packet.data(), packet.size()), 0) << "stopped";
    ASSERT_TRUE(port.Play());
    EXPECT_EQ(QxPlay_InputVideoData(port.port(), packet.data(), packet.size()), 1);
    // More than the buffer can ever grow to, with no packet in it.
    Bytes huge(17 << 20, 0x11);
    EXPECT_EQ(QxPlay_InputVideoData(port.port(), huge.data(), huge.size()), 0);
    EXPECT_EQ(QxPlay_InputVideoData(port.port(), nullptr, 10), 0);
}

// States set on a stopped port start nothing: Play must still start the workers.
class StateOnAStoppedPort : public HostApi, public testing::WithParamInterface<int> {};

TEST_P(StateOnAStoppedPort, PlayStillStartsPlaying) {
    PlaybackPort port(1);
    ASSERT_EQ(QxPlay_SetDecCallBack(port.port(), &CountDecoded), 1);
    switch (GetParam()) {
        case 0:
            QxPlay_Pause(port.port(), 0);
            break;
        case 1:
            QxPlay_SetPlayStatus(port.port(), QXPLAY_STATE_NORMAL);
            break;
        default:
            QxPlay_Back(port.port());
            QxPlay_Back(port.port());
            break;
    }
    ASSERT_TRUE(port.Play());
    port.Feed(WithEndMarker(Stream(10)), 60000);
    EXPECT_TRUE(WaitDecoded(10, 10s)) << g_decoded.load() << " decoded";
}

INSTANTIATE_TEST_SUITE_P(PauseStatusOrBack, StateOnAStoppedPort, testing::Values(0, 1, 2));

TEST_F(HostApi, EndOfInputPlaysToTheLastPictureAndStopMakesThePortReusable) {
    PlaybackPort port(1);
    ASSERT_EQ(QxPlay_SetDecCallBack(port.port(), &CountDecoded), 1);
    ASSERT_TRUE(port.Play());
    Bytes stream = Stream(20);
    port.Feed(stream, 50000);
    ASSERT_EQ(QxPlay_SetFileEndMsg(port.port(), 0, 0), 1);
    EXPECT_TRUE(WaitDecoded(20, 10s)) << "every picture, the last one too: " << g_decoded.load();
    EXPECT_EQ(QxPlay_InputData(port.port(), stream.data(), 1000), 0) << "no more is taken";
    ASSERT_EQ(QxPlay_Stop(port.port()), 1);
    ASSERT_TRUE(port.Play());
    g_decoded = 0;
    port.Feed(WithEndMarker(stream), 50000);
    EXPECT_TRUE(WaitDecoded(20, 10s)) << "the next stream plays: " << g_decoded.load();
}

TEST_F(HostApi, ExportsWithNothingToReportWriteZeros) {
    PlaybackPort port(0);
    const int32_t p = port.port();
    uint32_t a = 0xabababab, b = 0xabababab, c = 0xabababab;
    EXPECT_EQ(QxPlay_GetTimerType(p, &a, &b), 1);
    EXPECT_EQ(a | b, 0u);
    a = b = c = 0xabababab;
    EXPECT_EQ(QxPlay_GetFileSpecialAttr(p, &a, &b, &c), 1);
    EXPECT_EQ(a | b | c, 0u);
    int high = 7;
    EXPECT_EQ(QxPlay_GetPictureQuality(p, &high), 1);
    EXPECT_EQ(high, 0);
    char description[16] = "xxxxxxxxxxxxxxx", name[16] = "xxxxxxxxxxxxxxx";
    EXPECT_EQ(
        QxPlay_GetDDrawDeviceInfo(0, description, sizeof description, name, sizeof name, nullptr),
        1);
    EXPECT_STREQ(description, "");
    EXPECT_STREQ(name, "");
    a = 0xabababab;
    EXPECT_EQ(QxPlay_GetRefValue(p, nullptr, &a), 1);
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(QxPlay_GetTimerType(p, nullptr, nullptr), 1) << "null out-values are skipped";
}

TEST_F(HostApi, ConversionsRefuseABufferSmallerThanThePicture) {
    const std::string path = TempFile("small.bmp");
    char eight[8] = {};
    EXPECT_EQ(QxPlay_ConvertToBmpFile(eight, sizeof eight, 64, 64, 0, path.c_str()), 0);
    EXPECT_EQ(QxPlay_ConvertToJpegFile(eight, sizeof eight, 64, 64, 1, path.c_str()), 0);
    EXPECT_FALSE(Exists(path));
    std::vector<char> yv12(64 * 64 * 3 / 2, 0x40);
    EXPECT_EQ(QxPlay_ConvertToBmpFile(yv12.data(), yv12.size() - 1, 64, 64, 0, path.c_str()), 0);
    EXPECT_EQ(QxPlay_ConvertToBmpFile(yv12.data(), yv12.size(), 64, 64, 0, path.c_str()), 1);
    EXPECT_TRUE(Exists(path));
    std::remove(path.c_str());
    EXPECT_EQ(QxPlay_ConvertToBmpFile(yv12.data(), 0, 64, 64, 0, path.c_str()), 1)
        << "a size of 0 is not checked";
    std::remove(path.c_str());
}

TEST_F(HostApi, APositionInAFileOfAbsurdLengthStaysInRange) {
    std::vector<qx::kit::Packet> packets = Packets(10);
    for (qx::kit::Packet& packet : packets)
        packet.header.sec = 0;
    packets.back().header.sec = INT32_MAX;
    const std::string path = TempFile("long.qx");
    WriteFile(path, qx::kit::Serialize(packets));
    PlaybackPort port(2);
    ASSERT_EQ(QxPlay_OpenFile(port.port(), path.c_str()), 1);
    ASSERT_TRUE(port.Play());
    EXPECT_EQ(QxPlay_GetFileTime(port.port()), static_cast<uint32_t>(INT32_MAX));
    for (float position : {0.5f, 1.0f}) {
        EXPECT_EQ(QxPlay_SetPlayPos(port.port(), position), 1);
        EXPECT_GE(QxPlay_GetPlayedFrames(port.port()), 0) << position;
    }
    QxPlay_Stop(port.port());
    std::remove(path.c_str());
}

TEST_F(HostApi, ResettingOnePortDoesNotHoldUpTheOthers) {
    PlaybackPort port(0);
    int32_t other = -1;
    ASSERT_EQ(QxPlay_GetPort(&other), 1);
    ASSERT_TRUE(port.Play());
    std::thread reset([&] { QxPlay_ResetSourceBuffer(port.port()); });
    std::this_thread::sleep_for(20ms);
    const auto start = SteadyClock::now();
    QxPlay_GetPlayStatus(other);
    const auto waited = SteadyClock::now() - start;
    reset.join();
    EXPECT_LT(waited, 50ms);
    QxPlay_FreePort(other);
}

TEST_F(HostApi, LibavcodecSpeaksInTheLogNotOnStderr) {
    LogCapture log;
    PlaybackPort port(1);
    ASSERT_TRUE(port.Play());
    // A key picture whose slices are noise: the decoder complains.
    std::vector<qx::kit::Packet> packets = Packets(10);
    for (size_t i = 2; i < packets.size(); ++i) {
        for (size_t j = 8; j < packets[i].payload.size(); ++j)
            packets[i].payload[j] = static_cast<uint8_t>(j * 131 + 7);
    }
    const std::string errors = TempFile("stderr.txt");
    std::fflush(stderr);
    const int saved = dup(2);
    std::FILE* sink = std::fopen(errors.c_str(), "w");
    ASSERT_NE(sink, nullptr);
    dup2(fileno(sink), 2);
    port.Feed(WithEndMarker(qx::kit::Serialize(packets)), 100000);
    std::this_thread::sleep_for(1s);
    QxPlay_Stop(port.port());
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::fclose(sink);
    std::ifstream in(errors);
    const std::string written((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    EXPECT_EQ(written.find("h264"), std::string::npos) << written;
    bool logged = false;
    for (const std::string& text : log.Texts())
        logged = logged || text.find("libavcodec: ") != std::string::npos;
    EXPECT_TRUE(logged);
    std::remove(errors.c_str());
}

// A live camera at 25 pictures a second, whole packets per call: the statistics
// against what the host counted and timed itself.
TEST_F(HostApi, LiveStatisticsAgreeWithWhatTheHostCounted) {
    PlaybackPort port(0);
    ASSERT_EQ(QxPlay_SetCacheTime(port.port(), 0), 1);
    ASSERT_EQ(QxPlay_SetDecCallBack(port.port(), &CountDecoded), 1);
    ASSERT_TRUE(port.Play());
    const std::vector<qx::kit::Packet> packets = Packets(75, 25);
    struct Given {
        SteadyClock::time_point at;
        size_t bytes;
    };
    std::vector<Given> given;
    std::vector<SteadyClock::time_point> pictureArrivals;
    int64_t total = 0;
    QxPortStats midway{};
    SteadyClock::time_point before, after;
    const auto start = SteadyClock::now();
    for (size_t i = 0; i < packets.size(); ++i) {
        std::this_thread::sleep_until(
            start + std::chrono::microseconds(packets[i].header.pts - packets[0].header.pts));
        Bytes bytes = qx::kit::Serialize({packets[i]});
        ASSERT_TRUE(port.Give(bytes));
        given.push_back({SteadyClock::now(), bytes.size()});
        total += static_cast<int64_t>(bytes.size());
        if (CarriesPicture(packets[i]))
            pictureArrivals.push_back(given.back().at);
        if (i == packets.size() * 2 / 3) {
            before = SteadyClock::now();
            midway = Stats(port.port());
            after = SteadyClock::now();
        }
    }
    ASSERT_TRUE(WaitDecoded(static_cast<int>(pictureArrivals.size()), 10s));
    ASSERT_TRUE(port.shown().WaitFor(pictureArrivals.size(), 10s));

    // The bitrate of the second before the call, to the 100 ms the window moves in.
    int64_t least = 0, most = 0;
    for (const Given& g : given) {
        if (g.at >= after - 1000ms && g.at <= before - 100ms)
            least += static_cast<int64_t>(g.bytes);
        if (g.at >= before - 1100ms && g.at <= after)
            most += static_cast<int64_t>(g.bytes);
    }
    EXPECT_GE(midway.bitrate, least * 8);
    EXPECT_LE(midway.bitrate, most * 8);

    const QxPortStats stats = Stats(port.port());
    EXPECT_EQ(stats.size, sizeof stats);
    EXPECT_EQ(stats.codec, QXPLAY_CODEC_H264);
    EXPECT_EQ(stats.picturesDecoded, g_decoded.load());
    EXPECT_EQ(stats.picturesShown, static_cast<int64_t>(port.shown().Count()));
    EXPECT_EQ(stats.picturesDropped, 0);
    EXPECT_EQ(stats.inputBytes, total);
    EXPECT_EQ(stats.frameRate, 25);
    EXPECT_EQ(stats.sourceBufferFill, 0);
    EXPECT_GT(stats.sourceBufferSize, 0);
    EXPECT_EQ(stats.soundOn, 0);
    int width = 0, height = 0;
    QxPlay_GetPictureSize(port.port(), &width, &height);
    EXPECT_EQ(stats.width, width);
    EXPECT_EQ(stats.height, height);

    // Latency: the median of the host's own arrival-to-render times of the second
    // before the call, and the late ones by the same rule: no cache, so two intervals.
    const std::vector<RenderRecord::Shown> shown = port.shown().Pictures();
    std::vector<int> latencies;
    int64_t late = 0;
    for (size_t i = 0; i < pictureArrivals.size() && i < shown.size(); ++i) {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(shown[i].at - pictureArrivals[i])
                .count();
        late += ms > 80 ? 1 : 0;
        if (shown[i].at >= before - 1000ms && shown[i].at <= before)
            latencies.push_back(static_cast<int>(ms));
    }
    EXPECT_NEAR(static_cast<double>(stats.picturesLate), static_cast<double>(late), 2.0);
    ASSERT_FALSE(latencies.empty());
    std::nth_element(latencies.begin(), latencies.begin() + latencies.size() / 2, latencies.end());
    EXPECT_GE(midway.latencyMs, 0);
    EXPECT_NEAR(midway.latencyMs, latencies[latencies.size() / 2], 10);
    std::this_thread::sleep_for(1100ms);
    EXPECT_EQ(Stats(port.port()).latencyMs, -1) << "no picture within the last second";
    EXPECT_EQ(Stats(port.port()).bitrate, 0);
}

// The jitter buffer the host asked for delays every picture on purpose: that is
// latency, not lateness.
TEST_F(HostApi, ALiveCacheIsLatencyNotLateness) {
    PlaybackPort port(0);
    ASSERT_EQ(QxPlay_SetCacheTime(port.port(), 300), 1);
    ASSERT_TRUE(port.Play());
    const std::vector<qx::kit::Packet> packets = Packets(40, 20);
    QxPortStats midway{};
    const auto start = SteadyClock::now();
    for (size_t i = 0; i < packets.size(); ++i) {
        std::this_thread::sleep_until(
            start + std::chrono::microseconds(packets[i].header.pts - packets[0].header.pts));
        ASSERT_TRUE(port.Give(qx::kit::Serialize({packets[i]})));
        if (i == 30)
            midway = Stats(port.port());
    }
    ASSERT_TRUE(port.shown().WaitFor(40, 10s));
    EXPECT_GE(midway.latencyMs, 250);
    EXPECT_EQ(Stats(port.port()).picturesLate, 0);
}

TEST_F(HostApi, StatisticsFillOnlyWhatTheHostsStructHolds) {
    PlaybackPort port(0);
    ASSERT_TRUE(port.Play());
    unsigned char raw[sizeof(QxPortStats) + 8];
    std::memset(raw, 0xee, sizeof raw);
    QxPortStats* stats = reinterpret_cast<QxPortStats*>(raw);
    stats->size = 12;
    ASSERT_EQ(QxPlay_GetPortStats(port.port(), stats), 1);
    EXPECT_EQ(stats->size, 12u);
    EXPECT_EQ(stats->codec, QXPLAY_CODEC_NONE);
    EXPECT_EQ(raw[12], 0xee) << "nothing past the host's size";
    stats->size = 4;
    EXPECT_EQ(QxPlay_GetPortStats(port.port(), stats), 0);
    EXPECT_EQ(QxPlay_GetPortStats(port.port(), nullptr), 0);
    QxPortStats unknown{};
    unknown.size = sizeof unknown;
    EXPECT_EQ(QxPlay_GetPortStats(199, &unknown), 0);
}

// Every picture a host gives is either shown or counted as dropped, wherever in the
// port a cut finds it.
TEST_F(HostApi, ACutAtADiscontinuityCountsTheCachedPicturesAsDropped) {
    PlaybackPort port(0);
    ASSERT_EQ(QxPlay_SetCacheTime(port.port(), 5000), 1);
    ASSERT_TRUE(port.Play());
    std::vector<qx::kit::Packet> packets = Packets(30, 10);
    int pictures = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        // The camera skips an idx: what is cached goes, and a key picture starts anew.
        if (i >= 10)
            packets[i].header.idx += 5;
        pictures += CarriesPicture(packets[i]) ? 1 : 0;
        ASSERT_TRUE(port.Give(qx::kit::Serialize({packets[i]})));
        if (i == 10) {
            const QxPortStats cut = Stats(port.port());
            EXPECT_GE(cut.picturesDropped, 1);
            EXPECT_EQ(cut.picturesShown, 0);
        }
    }
    ASSERT_EQ(QxPlay_SetFileEndMsg(port.port(), 0, 0), 1);
    port.shown().WaitQuiet(500ms, 10s);
    const QxPortStats stats = Stats(port.port());
    EXPECT_GT(stats.picturesShown, 0);
    EXPECT_EQ(stats.picturesShown + stats.picturesDropped, pictures);
}

TEST_F(HostApi, FileStatisticsCountEveryPictureAndNoLatency) {
    const std::string path = TempFile("file.qx");
    WriteFile(path, Stream(30));
    PlaybackPort port(2);
    ASSERT_EQ(QxPlay_SetDecCallBack(port.port(), &CountDecoded), 1);
    ASSERT_EQ(QxPlay_OpenFile(port.port(), path.c_str()), 1);
    ASSERT_TRUE(port.Play());
    ASSERT_TRUE(WaitDecoded(30, 10s));
    ASSERT_TRUE(port.shown().WaitFor(30, 5s));
    const QxPortStats stats = Stats(port.port());
    EXPECT_EQ(stats.picturesDecoded, 30);
    EXPECT_EQ(stats.picturesShown, 30);
    EXPECT_EQ(stats.latencyMs, -1);
    EXPECT_EQ(stats.picturesLate, 0);
    QxPlay_Stop(port.port());
    std::remove(path.c_str());
}

void CountEnd(int32_t, void* user) {
    ++*static_cast<std::atomic<int>*>(user);
}

TEST_F(HostApi, AFileEndCallbackAloneHearsTheEndOfTheFile) {
    const std::string path = TempFile("end.qx");
    WriteFile(path, Stream(10));
    PlaybackPort port(2);
    std::atomic<int> ends{0};
    ASSERT_EQ(QxPlay_SetFileEndCallback(port.port(), &CountEnd, &ends), 1);
    ASSERT_EQ(QxPlay_OpenFile(port.port(), path.c_str()), 1);
    ASSERT_TRUE(port.Play());
    const auto end = SteadyClock::now() + 10s;
    while (ends.load() == 0 && SteadyClock::now() < end)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(ends.load(), 1);
    EXPECT_EQ(port.shown().Count(), 10u) << "after the last picture";
    QxPlay_Stop(port.port());
    std::remove(path.c_str());
}

TEST(HostEnvironment, RendererAndSoundFileAreChosenByTheEnvironment) {
    setenv("QXPLAY_RENDERER", "x11", 1);
    EXPECT_FALSE(qx::render::ChooseGpuRenderer([] { return true; }));
    setenv("QXPLAY_RENDERER", "gl", 1);
    EXPECT_TRUE(qx::render::ChooseGpuRenderer([] { return true; }));
    EXPECT_FALSE(qx::render::ChooseGpuRenderer([] { return false; })) << "only where GL draws";
    unsetenv("QXPLAY_RENDERER");

    const std::string wav = TempFile("sound.wav");
    setenv("QXPLAY_AUDIO_OUT", wav.c_str(), 1);
    {
        PlaybackPort port(1);
        ASSERT_TRUE(port.Play());
        ASSERT_EQ(QxPlay_PlaySound(port.port()), 1);
        port.Feed(WithEndMarker(qx::kit::Serialize(Packets(50, 10, qx::kit::kAudioALaw))), 60000);
        std::this_thread::sleep_for(1500ms);
        QxPlay_Stop(port.port());
    }
    unsetenv("QXPLAY_AUDIO_OUT");
    std::ifstream in(wav, std::ios::binary | std::ios::ate);
    ASSERT_TRUE(in.good()) << "the sound went into " << wav;
    EXPECT_GT(static_cast<int64_t>(in.tellg()), 44 + 8000) << "a second of sound, and more";
    std::remove(wav.c_str());
}

}  // namespace
