// What a host meets when the machine lets the library down or the host itself is
// awkward: decoders that cannot be created, no X server, a window that goes away
// during play, no sound device, and callbacks and shutdowns that cut across the
// library's own threads. Nothing may crash, hang or report success for a failure.
#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "audio/AudioSink.h"
#include "render/RendererChoice.h"
#include "support/PlaybackHarness.h"
#include "support/ProcessStatus.h"
#include "support/XTestWindow.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// The library's calls into libavcodec and ALSA come here first, so that their
// failures can be made to happen.
static std::atomic<int> gDecoderOpensToFail{0}, gDecoderOpens{0}, gSoundOpens{0};
static std::atomic<bool> gNoSoundDevice{false};

extern "C" int avcodec_open2(AVCodecContext* context, const AVCodec* codec,
                             AVDictionary** options) {
    using Fn = int (*)(AVCodecContext*, const AVCodec*, AVDictionary**);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "avcodec_open2"));
    if (av_codec_is_decoder(codec)) {
        ++gDecoderOpens;
        if (gDecoderOpensToFail > 0) {
            --gDecoderOpensToFail;
            return AVERROR(ENOMEM);
        }
    }
    return real(context, codec, options);
}

extern "C" int snd_pcm_open(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream, int mode) {
    using Fn = int (*)(snd_pcm_t**, const char*, snd_pcm_stream_t, int);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "snd_pcm_open"));
    ++gSoundOpens;
    if (gNoSoundDevice) {
        *pcm = nullptr;
        return -ENODEV;
    }
    return real(pcm, name, stream, mode);
}

namespace {

Bytes Stream(qx::kit::Codec codec, int frames, int gop,
             qx::kit::AudioKind audio = qx::kit::kAudioNone) {
    qx::kit::StreamOptions options;
    options.codec = codec;
    options.frames = frames;
    options.gop = gop;
    options.audioKind = audio;
    return WithEndMarker(qx::kit::Serialize(qx::kit::StreamWriter::MakePackets(options)));
}

// Until done() holds; false after the limit.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto give_up = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > give_up)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Stops the port, which must succeed, and says how long it took.
Clock::duration TimedStop(int32_t port) {
    const auto start = Clock::now();
    EXPECT_EQ(QxPlay_Stop(port), 1);
    return Clock::now() - start;
}

// How often a decoder tries to come into being before its creation fails.
constexpr int kCreateTries = 100;

class DecoderFaults : public testing::TestWithParam<qx::kit::Codec> {
  protected:
    void TearDown() override { gDecoderOpensToFail = 0; }
};

TEST_P(DecoderFaults, NoDecoderShowsNothingAndAFailedCreationIsRetried) {
    const Bytes stream = Stream(GetParam(), 20, 5);
    PlaybackPort port(3);
    gDecoderOpens = 0;
    gDecoderOpensToFail = 1000;
    ASSERT_TRUE(port.Play());
    port.Feed(stream, 4096);
    port.shown().WaitQuiet(300ms, 3s);
    EXPECT_EQ(port.shown().Count(), 0u);
    // Every key picture's parameter sets asked again for a decoder.
    EXPECT_GE(gDecoderOpens.load(), 2);
    int width = -1, height = -1;
    QxPlay_GetPictureSize(port.port(), &width, &height);
    EXPECT_EQ(std::make_pair(width, height), std::make_pair(0, 0));
    // A creation tries for about a second before it gives up, and Stop waits for it.
    EXPECT_LT(TimedStop(port.port()), 1500ms);

    // Every attempt of the first creation fails; a short outage within it would be
    // ridden out by its own retries.
    gDecoderOpens = 0;
    gDecoderOpensToFail = kCreateTries;
    ASSERT_TRUE(port.Play());
    port.Feed(stream, 4096);
    // The first group of pictures has no decoder; the three after it play.
    ASSERT_TRUE(port.shown().WaitFor(15, 20s));
    port.shown().WaitQuiet(300ms, 3s);
    EXPECT_EQ(port.shown().Count(), 15u);
    EXPECT_EQ(gDecoderOpens.load(), kCreateTries + 1);
}

INSTANTIATE_TEST_SUITE_P(Codecs, DecoderFaults,
                         testing::Values(qx::kit::Codec::H264, qx::kit::Codec::H265),
                         [](const auto& info) {
                             return info.param == qx::kit::Codec::H264 ? "H264" : "H265";
                         });

std::atomic<int> gDecoded{0};

// A port of the real library, with the renderers it chooses itself; it counts its
// pictures through the decode callback, which needs no window.
class RealPort : public PlaybackPort {
  public:
    explicit RealPort(int mode) : PlaybackPort(mode) {
        qx::render::SetRendererFactory(nullptr);
        gDecoded = 0;
        QxPlay_SetDecCallBack(port(), [](int32_t, auto...) { ++gDecoded; });
    }
    // Whole packets, as live ports need them, a little apart.
    void FeedPackets(const Bytes& bytes) {
        for (const Bytes& chunk : ChunksAtMarkers(bytes)) {
            Give(chunk);
            std::this_thread::sleep_for(5ms);
        }
    }
};

// DISPLAY names a display that nobody answers on, for the scope's lifetime.
struct NoDisplay {
    NoDisplay() { ::setenv("DISPLAY", ":97", 1); }
    ~NoDisplay() { old.empty() ? ::unsetenv("DISPLAY") : ::setenv("DISPLAY", old.c_str(), 1); }
    const std::string old = std::getenv("DISPLAY") ?: "";
};

// Without a display no renderer can start: nothing is drawn, but every picture is
// still decoded and handed to the host, in live and file-like modes alike, and the
// port plays, answers and stops as usual.
class NoXServer : public testing::TestWithParam<int> {};

TEST_P(NoXServer, DeliversEveryPictureAndStopsAtOnce) {
    NoDisplay nowhere;
    if (Display* display = XOpenDisplay(nullptr)) {
        XCloseDisplay(display);
        GTEST_SKIP() << "an X server answers on :97";
    }
    RealPort port(GetParam());
    ASSERT_EQ(QxPlay_Play(port.port(), 0x400001), 1);
    port.FeedPackets(Stream(qx::kit::Codec::H264, 20, 10));
    EXPECT_TRUE(WaitUntil([] { return gDecoded >= 20; }, 10s)) << gDecoded.load() << " of 20";
    EXPECT_EQ(QxPlay_GetStreamOpenMode(port.port()), GetParam());
    EXPECT_LT(TimedStop(port.port()), 500ms);
    // The port plays again once asked, and stops as quickly.
    EXPECT_EQ(QxPlay_Play(port.port(), 0x400001), 1);
    EXPECT_LT(TimedStop(port.port()), 500ms);
}

INSTANTIATE_TEST_SUITE_P(Modes, NoXServer, testing::Values(0, 3));

TEST(DisplayFaults, AWindowDestroyedWhilePlayingEndsNothing) {
    if (std::getenv("DISPLAY") == nullptr)
        GTEST_SKIP() << "no display";
    XTestWindow window(352, 288);
    ASSERT_TRUE(window.ok());
    RealPort port(1);
    ASSERT_EQ(QxPlay_Play(port.port(), window.id()), 1);
    std::thread feeder([&] { port.FeedPackets(Stream(qx::kit::Codec::H264, 50, 25)); });
    EXPECT_TRUE(WaitUntil([] { return gDecoded >= 10; }, 20s));
    window.Destroy();
    feeder.join();
    // The pictures after the window went keep coming; only the drawing ends.
    EXPECT_TRUE(WaitUntil([] { return gDecoded >= 50; }, 20s));
    EXPECT_LT(TimedStop(port.port()), 500ms);
}

TEST(SoundFaults, NoDeviceMeansTheSilentSinkAndTheSoundStillRuns) {
    gNoSoundDevice = true;
    gSoundOpens = 0;
    qx::audio::SetSinkFactory(nullptr);
    PlaybackPort port(1);
    ASSERT_TRUE(port.Play());
    ASSERT_EQ(QxPlay_PlaySound(port.port()), 1);
    port.Feed(Stream(qx::kit::Codec::H264, 50, 25, qx::kit::kAudioALaw), 4096);
    EXPECT_TRUE(port.shown().WaitFor(50, 20s));
    EXPECT_GE(gSoundOpens.load(), 1);
    EXPECT_EQ(qx::audio::LastSinkName(), "silent");
    EXPECT_EQ(QxPlay_StopSound(port.port()), 1);
    gNoSoundDevice = false;
}

// Which host callback ends its own port, and in which open mode.
struct CallbackCase {
    const char* name;
    int mode;
    int callback;  // 0 display, 1 decode, 2 the end-of-data message
};

std::atomic<int> gCalls{0}, gStopped{-1}, gFreed{-1};

// Serves as any of the callbacks: all of them name the port first.
template <typename... Unused>
void StopAndFree(int32_t port, Unused...) {
    if (gCalls++ > 0)
        return;
    gStopped = QxPlay_Stop(port);
    gFreed = QxPlay_FreePort(port);
}

class CallbackFaults : public testing::TestWithParam<CallbackCase> {};

TEST_P(CallbackFaults, ACallbackThatStopsAndFreesItsPortReturnsAndLeavesNoThread) {
    gCalls = 0;
    gStopped = gFreed = -1;
    PlaybackPort port(GetParam().mode);
    const long threads = StatusField("Threads:");
    if (GetParam().callback == 0)
        QxPlay_SetDisplayCallBack(port.port(), StopAndFree);
    else if (GetParam().callback == 1)
        QxPlay_SetDecCallBack(port.port(), StopAndFree);
    else
        QxPlay_SetDecMsgCallBack(port.port(), StopAndFree, nullptr);
    ASSERT_TRUE(port.Play());
    for (Bytes chunk : ChunksAtMarkers(Stream(qx::kit::Codec::H264, 30, 10))) {
        // The port may be gone under the feeder: a refusal is the answer then.
        const uint32_t n = static_cast<uint32_t>(chunk.size());
        WaitUntil([&] { return gFreed == 1 || QxPlay_InputData(port.port(), chunk.data(), n); },
                  2s);
    }
    EXPECT_TRUE(WaitUntil([] { return gFreed != -1; }, 10s));
    EXPECT_EQ(gStopped, 1);
    EXPECT_EQ(gFreed, 1);
    // A display callback hears of one picture twice, as YV12 and as RGB24.
    EXPECT_EQ(gCalls, GetParam().callback == 0 ? 2 : 1);
    EXPECT_EQ(QxPlay_GetStreamOpenMode(port.port()), -1) << "the port is no longer open";
    EXPECT_TRUE(ThreadsBackTo(threads));
}

INSTANTIATE_TEST_SUITE_P(
    Callbacks, CallbackFaults,
    testing::Values(CallbackCase{"LiveDisplay", 0, 0}, CallbackCase{"LiveDecode", 0, 1},
                    CallbackCase{"PacedDisplay", 1, 0}, CallbackCase{"PacedDecode", 1, 1},
                    CallbackCase{"PacedMessage", 1, 2}, CallbackCase{"FastestDecode", 3, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// Hosts tear the library down while their other threads still play ports; every
// call must come back with one of its documented answers.
TEST(ShutdownFaults, DestoryWhileOtherThreadsPlayFeedAndQuery) {
    const std::vector<Bytes> chunks = ChunksAtMarkers(Stream(qx::kit::Codec::H264, 10, 5));
    RecordingRenderers renderers;
    std::atomic<bool> stop{false};
    std::atomic<int> badAnswers{0}, played{0};
    const auto check = [&](int answer) {
        badAnswers += answer != 0 && answer != 1 ? 1 : 0;
        return answer;
    };
    std::vector<std::thread> hosts;
    for (int t = 0; t < 4; ++t) {
        hosts.emplace_back([&, t] {
            for (int round = 0; !stop; ++round) {
                int32_t port = -1;
                if (QxPlay_GetPort(&port) != 1) {
                    std::this_thread::sleep_for(1ms);
                    continue;
                }
                check(QxPlay_SetStreamOpenMode(port, (t + round) % 2 == 0 ? 0 : 3));
                QxPlay_SetDecCallBack(port, [](int32_t, auto...) {});
                played += check(QxPlay_Play(port, kTestWindow));
                for (Bytes chunk : chunks)
                    check(
                        QxPlay_InputData(port, chunk.data(), static_cast<uint32_t>(chunk.size())));
                int width = 0, height = 0;
                check(QxPlay_GetPictureSize(port, &width, &height));
                check(QxPlay_Pause(port, 1));
                check(QxPlay_Stop(port));
                check(QxPlay_FreePort(port));
            }
        });
    }
    const auto start = Clock::now();
    for (int round = 0; round < 30; ++round) {
        EXPECT_EQ(QxPlay_Init(), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + round % 4 * 10));
        QxPlay_Destory();
    }
    stop = true;
    for (std::thread& host : hosts)
        host.join();
    EXPECT_EQ(badAnswers.load(), 0);
    EXPECT_GT(played.load(), 0);
    EXPECT_LT(Clock::now() - start, 60s);
}

}  // namespace
