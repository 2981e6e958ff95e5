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
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
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

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// An H.264 packet with a slice in it, not only parameter sets.
bool CarriesPicture(const qx::kit::Packet& packet) {
    const std::vector<int> types = qx::kit::NalTypes(qx::kit::Codec::H264, packet.payload);
    return packet.header.knd == 0 && std::any_of(types.begin(), types.end(), [](int type) {
               return type >= qx::kit::h264::kSlice && type <= qx::kit::h264::kIdr;
           });
}

std::vector<qx::kit::Packet> Packets(int frames, int gop = 10,
                                     qx::kit::AudioKind audio = qx::kit::kAudioNone) {
    qx::kit::StreamOptions options;
    options.frames = frames;
    options.gop = gop;
    options.audioKind = audio;
    return qx::kit::StreamWriter::MakePackets(options);
}

std::atomic<int> g_decoded{0};

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

// Gives each packet at its time stamp, as a live camera does, whole packets per call;
// then tells the host which one went and when.
template <typename After>
void GiveInRealTime(PlaybackPort& port, const std::vector<qx::kit::Packet>& packets, After after) {
    const auto start = SteadyClock::now();
    for (size_t i = 0; i < packets.size(); ++i) {
        std::this_thread::sleep_until(
            start + std::chrono::microseconds(packets[i].header.pts - packets[0].header.pts));
        const Bytes bytes = qx::kit::Serialize({packets[i]});
        ASSERT_TRUE(port.Give(bytes));
        after(i, bytes.size(), SteadyClock::now());
    }
}

// Counts the port's pictures from now on.
int CountDecodes(int32_t port) {
    g_decoded = 0;
    return QxPlay_SetDecCallBack(port, [](int32_t, auto...) { ++g_decoded; });
}

// A live port's answers on input, recording and statistics, and the out-values of the
// exports that have nothing to report.
TEST(HostApi, ALivePortAnswersWhatItCanAndZerosTheRest) {
    PlaybackPort port(0);
    const int32_t p = port.port();
    Bytes packet = ChunksAtMarkers(qx::kit::Serialize(Packets(2))).front();
    EXPECT_EQ(QxPlay_InputVideoData(p, packet.data(), packet.size()), 0) << "stopped";
    ASSERT_TRUE(port.Play());

    std::vector<unsigned char> raw(sizeof(QxPortStats) + 8, 0xee);
    QxPortStats* stats = reinterpret_cast<QxPortStats*>(raw.data());
    stats->size = 12;
    ASSERT_EQ(QxPlay_GetPortStats(p, stats), 1);
    EXPECT_EQ(stats->size, 12u);
    EXPECT_EQ(stats->codec, QXPLAY_CODEC_NONE);
    EXPECT_EQ(raw[12], 0xee) << "nothing past the host's size";
    stats->size = 4;
    EXPECT_EQ(QxPlay_GetPortStats(p, stats), 0);
    EXPECT_EQ(QxPlay_GetPortStats(p, nullptr), 0);
    stats->size = sizeof(QxPortStats);
    EXPECT_EQ(QxPlay_GetPortStats(199, stats), 0);

    EXPECT_EQ(QxPlay_InputVideoData(p, packet.data(), packet.size()), 1);
    // More than the buffer can ever grow to, with no packet in it.
    Bytes huge(17 << 20, 0x11);
    EXPECT_EQ(QxPlay_InputVideoData(p, huge.data(), huge.size()), 0);
    EXPECT_EQ(QxPlay_InputVideoData(p, nullptr, 10), 0);

    EXPECT_EQ(QxPlay_StartRecord(p, "/nonexistent-dir/record.qx"), 0);
    EXPECT_EQ(QxPlay_GetRecordSize(p), 0u);
    const std::string path = TempFile("record.qx");
    ASSERT_EQ(QxPlay_StartRecord(p, path.c_str()), 1);
    EXPECT_TRUE(std::ifstream(path).good()) << "there before any byte is recorded";
    EXPECT_EQ(QxPlay_StopRecord(p), 1);
    std::remove(path.c_str());

    uint32_t a = ~0u, b = ~0u, c = ~0u, d = ~0u, e = ~0u, f = ~0u;
    int high = 7;
    char description[16] = "xxxxxxxxxxxxxxx", name[16] = "xxxxxxxxxxxxxxx";
    EXPECT_EQ(
        std::make_tuple(QxPlay_GetTimerType(p, &a, &b), QxPlay_GetFileSpecialAttr(p, &c, &d, &e),
                        QxPlay_GetPictureQuality(p, &high), QxPlay_GetRefValue(p, nullptr, &f),
                        QxPlay_GetDDrawDeviceInfo(0, description, sizeof description, name,
                                                  sizeof name, nullptr)),
        std::make_tuple(1, 1, 1, 1, 1));
    EXPECT_EQ(std::make_tuple(a, b, c, d, e, f, high, description[0], name[0]),
              std::make_tuple(0u, 0u, 0u, 0u, 0u, 0u, 0, '\0', '\0'));
    EXPECT_EQ(QxPlay_GetTimerType(p, nullptr, nullptr), 1) << "null out-values are skipped";

    // Resetting one port's buffers does not hold up the exports of the others.
    int32_t other = -1;
    ASSERT_EQ(QxPlay_GetPort(&other), 1);
    std::thread reset([&] { QxPlay_ResetSourceBuffer(p); });
    std::this_thread::sleep_for(20ms);
    const auto start = SteadyClock::now();
    QxPlay_GetPlayStatus(other);
    const auto waited = SteadyClock::now() - start;
    reset.join();
    EXPECT_LT(waited, 50ms);
    QxPlay_FreePort(other);
}

// States set on a stopped port start nothing: Play must still start the workers.
TEST(HostApi, PlayStillStartsPlayingAfterAPauseAStatusOrBackOnAStoppedPort) {
    for (void (*state)(int32_t) : {+[](int32_t p) { QxPlay_Pause(p, 0); },
                                   +[](int32_t p) { QxPlay_SetPlayStatus(p, QXPLAY_STATE_NORMAL); },
                                   +[](int32_t p) { QxPlay_Back(p), QxPlay_Back(p); }}) {
        PlaybackPort port(1);
        ASSERT_EQ(CountDecodes(port.port()), 1);
        state(port.port());
        ASSERT_TRUE(port.Play());
        port.Feed(WithEndMarker(qx::kit::Serialize(Packets(10))), 60000);
        EXPECT_TRUE(WaitDecoded(10, 10s)) << g_decoded.load() << " decoded";
    }
}

TEST(HostApi, EndOfInputPlaysToTheLastPictureAndStopMakesThePortReusable) {
    PlaybackPort port(1);
    ASSERT_EQ(CountDecodes(port.port()), 1);
    ASSERT_TRUE(port.Play());
    Bytes stream = qx::kit::Serialize(Packets(20));
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

TEST(HostApi, APositionInAFileOfAbsurdLengthStaysInRange) {
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
    ASSERT_TRUE(port.shown().WaitFor(10, 10s));
    for (float position : {0.5f, 1.0f, 0.0f}) {
        EXPECT_EQ(QxPlay_SetPlayPos(port.port(), position), 1);
        EXPECT_GE(QxPlay_GetPlayedFrames(port.port()), 0) << position;
    }
    EXPECT_TRUE(port.shown().WaitFor(11, 10s)) << "played out, and from the start again";
    std::remove(path.c_str());
}

TEST(HostApi, LibavcodecSpeaksInTheLogNotOnStderr) {
    LogCapture log;
    PlaybackPort port(1);
    ASSERT_TRUE(port.Play());
    // A key picture whose slices are noise: the decoder complains.
    std::vector<qx::kit::Packet> packets = Packets(10);
    for (size_t i = 2; i < packets.size(); ++i)
        for (size_t j = 8; j < packets[i].payload.size(); ++j)
            packets[i].payload[j] = static_cast<uint8_t>(j * 131 + 7);
    testing::internal::CaptureStderr();
    port.Feed(WithEndMarker(qx::kit::Serialize(packets)), 100000);
    std::this_thread::sleep_for(1s);
    QxPlay_Stop(port.port());
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_EQ(written.find("h264"), std::string::npos) << written;
    EXPECT_TRUE(log.Contains("libavcodec: "));
}

// A live camera at 25 pictures a second: the statistics against what the host counted
// and timed itself.
TEST(HostApi, LiveStatisticsAgreeWithWhatTheHostCounted) {
    PlaybackPort port(0);
    ASSERT_EQ(QxPlay_SetCacheTime(port.port(), 0), 1);
    ASSERT_EQ(CountDecodes(port.port()), 1);
    ASSERT_TRUE(port.Play());
    const std::vector<qx::kit::Packet> packets = Packets(75, 25);
    std::vector<std::pair<SteadyClock::time_point, size_t>> given;
    std::vector<SteadyClock::time_point> pictureArrivals;
    QxPortStats midway{};
    SteadyClock::time_point before, after;
    GiveInRealTime(port, packets, [&](size_t i, size_t bytes, SteadyClock::time_point at) {
        given.emplace_back(at, bytes);
        if (CarriesPicture(packets[i]))
            pictureArrivals.push_back(at);
        if (i == packets.size() * 2 / 3) {
            before = SteadyClock::now();
            midway = Stats(port.port());
            after = SteadyClock::now();
        }
    });
    ASSERT_TRUE(WaitDecoded(static_cast<int>(pictureArrivals.size()), 10s));
    ASSERT_TRUE(port.shown().WaitFor(pictureArrivals.size(), 10s));

    // The bitrate of the second before the call, to the 100 ms the window moves in.
    int64_t least = 0, most = 0, total = 0;
    for (const auto& [at, bytes] : given) {
        total += static_cast<int64_t>(bytes);
        if (at >= after - 1000ms && at <= before - 100ms)
            least += static_cast<int64_t>(bytes);
        if (at >= before - 1100ms && at <= after)
            most += static_cast<int64_t>(bytes);
    }
    EXPECT_GE(midway.bitrate, least * 8);
    EXPECT_LE(midway.bitrate, most * 8);

    const QxPortStats stats = Stats(port.port());
    int width = 0, height = 0;
    QxPlay_GetPictureSize(port.port(), &width, &height);
    EXPECT_EQ(std::tie(stats.size, stats.codec, stats.frameRate, stats.sourceBufferFill,
                       stats.soundOn, stats.width, stats.height),
              std::make_tuple(uint32_t{sizeof stats}, QXPLAY_CODEC_H264, 25, 0, 0, width, height));
    EXPECT_EQ(std::tie(stats.picturesDecoded, stats.picturesShown, stats.picturesDropped,
                       stats.inputBytes),
              std::make_tuple(int64_t{g_decoded.load()}, static_cast<int64_t>(port.shown().Count()),
                              int64_t{0}, total));
    EXPECT_GT(stats.sourceBufferSize, 0);

    // Latency: the median of the host's own arrival-to-render times of the second
    // before the call, and the late ones by the same rule: no cache, so two intervals.
    const std::vector<RenderRecord::Shown> shown = port.shown().Pictures();
    std::vector<int> latencies;
    int64_t late = 0;
    for (size_t i = 0; i < pictureArrivals.size() && i < shown.size(); ++i) {
        const int64_t ms = (shown[i].at - pictureArrivals[i]) / 1ms;
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
TEST(HostApi, ALiveCacheIsLatencyNotLateness) {
    PlaybackPort port(0);
    ASSERT_EQ(QxPlay_SetCacheTime(port.port(), 300), 1);
    ASSERT_TRUE(port.Play());
    QxPortStats midway{};
    GiveInRealTime(port, Packets(40, 20), [&](size_t i, size_t, SteadyClock::time_point) {
        if (i == 30)
            midway = Stats(port.port());
    });
    ASSERT_TRUE(port.shown().WaitFor(40, 10s));
    EXPECT_GE(midway.latencyMs, 250);
    EXPECT_EQ(Stats(port.port()).picturesLate, 0);
}

// Every picture a host gives is either shown or counted as dropped, wherever in the
// port a cut finds it.
TEST(HostApi, ACutAtADiscontinuityCountsTheCachedPicturesAsDropped) {
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

// A window no renderer can be made for at first: the live port goes on decoding and
// tries again, at most once a second, until one can be made. With a jitter buffer the
// render thread shows the pictures, without one the play-video thread: each tries.
class RendererRetry : public testing::TestWithParam<int> {};

TEST_P(RendererRetry, ALiveRendererThatCannotBeMadeIsTriedAgainAtMostOnceASecond) {
    PlaybackPort port(0);
    ASSERT_EQ(QxPlay_SetCacheTime(port.port(), GetParam()), 1);
    port.shown().failInit = true;
    ASSERT_TRUE(port.Play());
    const auto start = SteadyClock::now();
    int triesWhileFailing = -1;
    size_t shownWhileFailing = 0;
    GiveInRealTime(port, Packets(100, 25), [&](size_t, size_t, SteadyClock::time_point at) {
        if (triesWhileFailing < 0 && at - start >= 2500ms) {
            triesWhileFailing = port.shown().initCount;
            shownWhileFailing = port.shown().Count();
            port.shown().failInit = false;
        }
    });
    port.shown().WaitQuiet(500ms, 5s);
    EXPECT_EQ(shownWhileFailing, 0u);
    EXPECT_GE(triesWhileFailing, 2) << "tried again";
    EXPECT_LE(triesWhileFailing, 4) << "at most once a second";
    EXPECT_GT(port.shown().Count(), 20u) << "a later try made one";
    EXPECT_GE(Stats(port.port()).picturesDecoded, 95);
}

INSTANTIATE_TEST_SUITE_P(CacheMs, RendererRetry, testing::Values(0, 200));

void CountEnd(int32_t, void* user) {
    ++*static_cast<std::atomic<int>*>(user);
}

// A file end callback alone hears of the end, after the last picture; a file counts
// every picture and has no latency.
TEST(HostApi, AFileEndsAfterItsLastPictureWithEveryPictureCounted) {
    const std::string path = TempFile("file.qx");
    WriteFile(path, qx::kit::Serialize(Packets(10)));
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
    const QxPortStats stats = Stats(port.port());
    EXPECT_EQ(std::tie(stats.picturesDecoded, stats.picturesShown, stats.picturesLate),
              std::make_tuple(int64_t{10}, int64_t{10}, int64_t{0}));
    EXPECT_EQ(stats.latencyMs, -1);
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
