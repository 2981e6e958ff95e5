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
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "audio/AudioSink.h"
#include "support/PlaybackHarness.h"
#include "support/ProcessStatus.h"
#include "support/XTestWindow.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// The library's calls into libavcodec and ALSA come here first, so that their
// failures can be made to happen.
namespace {
std::atomic<int> gDecoderOpensToFail{0};
std::atomic<int> gDecoderOpens{0};
std::atomic<bool> gNoSoundDevice{false};
std::atomic<int> gSoundOpens{0};

template <typename Fn>
Fn Next(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" int avcodec_open2(AVCodecContext* context, const AVCodec* codec,
                             AVDictionary** options) {
    using Fn = int (*)(AVCodecContext*, const AVCodec*, AVDictionary**);
    static const Fn real = Next<Fn>("avcodec_open2");
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
    static const Fn real = Next<Fn>("snd_pcm_open");
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

// Stops the port and says how long it took.
std::chrono::milliseconds TimedStop(int32_t port, int* result) {
    const auto start = Clock::now();
    *result = QxPlay_Stop(port);
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// How often a decoder tries to come into being before its creation fails.
constexpr int kCreateTries = 100;

class DecoderFaults : public testing::TestWithParam<qx::kit::Codec> {
  protected:
    void TearDown() override { gDecoderOpensToFail = 0; }
};

TEST_P(DecoderFaults, NoDecoderShowsNothingAndStopsCleanly) {
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
    int width = -1;
    int height = -1;
    QxPlay_GetPictureSize(port.port(), &width, &height);
    EXPECT_EQ(width, 0);
    EXPECT_EQ(height, 0);
    // A creation tries for about a second before it gives up, and Stop waits for it.
    int stopped = 0;
    EXPECT_LT(TimedStop(port.port(), &stopped), 1500ms);
    EXPECT_EQ(stopped, 1);
}

TEST_P(DecoderFaults, AFailedCreationIsRetriedAtTheNextParameterSet) {
    const Bytes stream = Stream(GetParam(), 20, 5);
    PlaybackPort port(3);
    gDecoderOpens = 0;
    // Every attempt of the first creation fails; a short outage within it would be
    // ridden out by its own retries.
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
                         [](const testing::TestParamInfo<qx::kit::Codec>& info) {
                             return info.param == qx::kit::Codec::H264 ? "H264" : "H265";
                         });

// Counts pictures through the decode callback, which needs no window.
std::atomic<int> gDecoded{0};
void CountDecoded(int32_t, char*, int32_t, const QxFrameInfo*, int32_t, int32_t) {
    ++gDecoded;
}

// A port of the real library, with the renderers it chooses itself.
class RealPort {
  public:
    explicit RealPort(int mode) {
        QxPlay_Init();
        QxPlay_GetPort(&m_port);
        QxPlay_SetStreamOpenMode(m_port, mode);
        gDecoded = 0;
        QxPlay_SetDecCallBack(m_port, CountDecoded);
    }
    ~RealPort() {
        QxPlay_Stop(m_port);
        QxPlay_FreePort(m_port);
        QxPlay_Destory();
    }
    int32_t port() const { return m_port; }

    void Feed(const Bytes& bytes) {
        for (size_t at = 0; at < bytes.size(); at += 4096) {
            Bytes chunk(bytes.begin() + at, bytes.begin() + std::min(bytes.size(), at + 4096));
            while (QxPlay_InputData(m_port, chunk.data(), static_cast<uint32_t>(chunk.size())) == 0)
                std::this_thread::sleep_for(5ms);
        }
    }
    bool WaitDecoded(int n, std::chrono::milliseconds timeout) {
        const auto give_up = Clock::now() + timeout;
        while (gDecoded < n) {
            if (Clock::now() > give_up)
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

  private:
    int32_t m_port = -1;
};

// The display that DISPLAY names, for the scope's lifetime.
class DisplayName {
  public:
    explicit DisplayName(const char* name) {
        if (const char* old = std::getenv("DISPLAY"))
            m_old = old;
        ::setenv("DISPLAY", name, 1);
    }
    ~DisplayName() {
        if (m_old.empty())
            ::unsetenv("DISPLAY");
        else
            ::setenv("DISPLAY", m_old.c_str(), 1);
    }

  private:
    std::string m_old;
};

// Without a display no renderer can start: nothing is drawn, but every picture is
// still decoded and handed to the host, in live and file-like modes alike, and the
// port plays, answers and stops as usual.
class NoXServer : public testing::TestWithParam<int> {};

TEST_P(NoXServer, DeliversEveryPictureAndStopsAtOnce) {
    DisplayName nowhere(":97");
    if (Display* display = XOpenDisplay(nullptr)) {
        XCloseDisplay(display);
        GTEST_SKIP() << "an X server answers on :97";
    }
    const int mode = GetParam();
    const Bytes stream = Stream(qx::kit::Codec::H264, 20, 10);
    RealPort port(mode);
    ASSERT_EQ(QxPlay_Play(port.port(), 0x400001), 1);
    for (const Bytes& chunk : ChunksAtMarkers(stream)) {
        Bytes copy = chunk;
        QxPlay_InputData(port.port(), copy.data(), static_cast<uint32_t>(copy.size()));
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(port.WaitDecoded(20, 10s)) << gDecoded.load() << " of 20";
    EXPECT_EQ(QxPlay_GetStreamOpenMode(port.port()), mode);
    int stopped = 0;
    EXPECT_LT(TimedStop(port.port(), &stopped), 500ms);
    EXPECT_EQ(stopped, 1);
    // The port plays again once asked, and stops as quickly.
    EXPECT_EQ(QxPlay_Play(port.port(), 0x400001), 1);
    EXPECT_LT(TimedStop(port.port(), &stopped), 500ms);
}

INSTANTIATE_TEST_SUITE_P(Modes, NoXServer, testing::Values(0, 3));

TEST(DisplayFaults, AWindowDestroyedWhilePlayingEndsNothing) {
    if (std::getenv("DISPLAY") == nullptr)
        GTEST_SKIP() << "no display";
    XTestWindow window(352, 288);
    ASSERT_TRUE(window.ok());
    const Bytes stream = Stream(qx::kit::Codec::H264, 50, 25);
    RealPort port(1);
    ASSERT_EQ(QxPlay_Play(port.port(), window.id()), 1);
    std::thread feeder([&] { port.Feed(stream); });
    ASSERT_TRUE(port.WaitDecoded(10, 20s));
    window.Destroy();
    feeder.join();
    // The pictures after the window went keep coming; only the drawing ends.
    EXPECT_TRUE(port.WaitDecoded(50, 20s));
    int stopped = 0;
    EXPECT_LT(TimedStop(port.port(), &stopped), 500ms);
    EXPECT_EQ(stopped, 1);
}

TEST(SoundFaults, NoDeviceMeansTheSilentSinkAndTheSoundStillRuns) {
    gNoSoundDevice = true;
    gSoundOpens = 0;
    qx::audio::SetSinkFactory(nullptr);
    const Bytes stream = Stream(qx::kit::Codec::H264, 50, 25, qx::kit::kAudioALaw);
    PlaybackPort port(1);
    ASSERT_TRUE(port.Play());
    ASSERT_EQ(QxPlay_PlaySound(port.port()), 1);
    std::thread feeder([&] { port.Feed(stream, 4096); });
    EXPECT_TRUE(port.shown().WaitFor(50, 20s));
    feeder.join();
    EXPECT_GE(gSoundOpens.load(), 1);
    EXPECT_EQ(qx::audio::LastSinkName(), "silent");
    EXPECT_EQ(QxPlay_StopSound(port.port()), 1);
    gNoSoundDevice = false;
}

// Which host callback ends its own port, and in which open mode.
struct CallbackCase {
    const char* name;
    int mode;
    bool display;
};

struct CallbackStopRecord {
    std::atomic<int> calls{0};
    std::atomic<int> stopped{-1};
    std::atomic<int> freed{-1};
};
CallbackStopRecord gStopRecord;

void StopAndFree(int32_t port) {
    if (gStopRecord.calls++ > 0)
        return;
    gStopRecord.stopped = QxPlay_Stop(port);
    gStopRecord.freed = QxPlay_FreePort(port);
}

class CallbackFaults : public testing::TestWithParam<CallbackCase> {};

TEST_P(CallbackFaults, ACallbackThatStopsAndFreesItsPortReturnsAndLeavesNoThread) {
    const Bytes stream = Stream(qx::kit::Codec::H264, 30, 10);
    gStopRecord.calls = 0;
    gStopRecord.stopped = -1;
    gStopRecord.freed = -1;
    RecordingRenderers renderers;
    ASSERT_EQ(QxPlay_Init(), 1);
    const long threads = StatusField("Threads:");
    int32_t port = -1;
    ASSERT_EQ(QxPlay_GetPort(&port), 1);
    QxPlay_SetStreamOpenMode(port, GetParam().mode);
    if (GetParam().display) {
        QxPlay_SetDisplayCallBack(port, [](int32_t p, char*, int32_t, int32_t, int32_t, int32_t,
                                           int32_t, int32_t) { StopAndFree(p); });
    } else {
        QxPlay_SetDecCallBack(port, [](int32_t p, char*, int32_t, const QxFrameInfo*, int32_t,
                                       int32_t) { StopAndFree(p); });
    }
    ASSERT_EQ(QxPlay_Play(port, kTestWindow), 1);
    const std::vector<Bytes> chunks = ChunksAtMarkers(stream);
    for (const Bytes& chunk : chunks) {
        Bytes copy = chunk;
        // The port may be gone under the feeder: a refusal is the answer then.
        const auto give_up = Clock::now() + 2s;
        while (gStopRecord.freed != 1 &&
               QxPlay_InputData(port, copy.data(), static_cast<uint32_t>(copy.size())) == 0 &&
               Clock::now() < give_up)
            std::this_thread::sleep_for(2ms);
        if (gStopRecord.freed == 1)
            break;
    }
    const auto give_up = Clock::now() + 10s;
    while (gStopRecord.freed == -1 && Clock::now() < give_up)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(gStopRecord.stopped, 1);
    EXPECT_EQ(gStopRecord.freed, 1);
    // A display callback hears of one picture twice, as YV12 and as RGB24.
    EXPECT_EQ(gStopRecord.calls, GetParam().display ? 2 : 1);
    EXPECT_EQ(QxPlay_GetStreamOpenMode(port), -1) << "the port is no longer open";
    EXPECT_TRUE(ThreadsBackTo(threads));
    QxPlay_Destory();
}

INSTANTIATE_TEST_SUITE_P(
    Callbacks, CallbackFaults,
    testing::Values(CallbackCase{"LiveDisplay", 0, true}, CallbackCase{"LiveDecode", 0, false},
                    CallbackCase{"PacedDisplay", 1, true}, CallbackCase{"PacedDecode", 1, false},
                    CallbackCase{"FastestDecode", 3, false}),
    [](const testing::TestParamInfo<CallbackCase>& info) { return std::string(info.param.name); });

// Hosts tear the library down while their other threads still play ports; every
// call must come back with one of its documented answers.
TEST(ShutdownFaults, DestoryWhileOtherThreadsPlayFeedAndQuery) {
    const Bytes stream = Stream(qx::kit::Codec::H264, 10, 5);
    const std::vector<Bytes> chunks = ChunksAtMarkers(stream);
    RecordingRenderers renderers;
    std::atomic<bool> stop{false};
    std::atomic<int> badAnswers{0};
    std::atomic<int> played{0};
    const auto check = [&](int answer) {
        if (answer != 0 && answer != 1)
            ++badAnswers;
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
                QxPlay_SetDecCallBack(port, CountDecoded);
                const int playing = QxPlay_Play(port, kTestWindow);
                check(playing);
                played += playing;
                for (const Bytes& chunk : chunks) {
                    Bytes copy = chunk;
                    check(QxPlay_InputData(port, copy.data(), static_cast<uint32_t>(copy.size())));
                }
                int width = 0;
                int height = 0;
                check(QxPlay_GetPictureSize(port, &width, &height));
                check(QxPlay_Pause(port, 1));
                check(QxPlay_Stop(port));
                check(QxPlay_FreePort(port));
            }
        });
    }
    const auto start = Clock::now();
    for (int round = 0; round < 30; ++round) {
        ASSERT_EQ(QxPlay_Init(), 1);
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
