// A port's life as hosts live it: callbacks that call exports while another thread
// stops the port, ports freed from their own callbacks before the library shuts down,
// and sound switched on and off while the port's threads are still starting.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>

#include "platform/WorkerThread.h"
#include "qxplaylib.h"
#include "streamkit/StreamKit.h"
#include "support/PlaybackHarness.h"
#include "support/ProcessStatus.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::vector<uint8_t> Stream(int frames, qx::kit::AudioKind audio = qx::kit::kAudioNone) {
    qx::kit::StreamOptions options;
    options.width = 176;
    options.height = 144;
    options.frames = frames;
    options.gop = 5;
    options.audioKind = audio;
    return WithEndMarker(qx::kit::Serialize(qx::kit::StreamWriter::MakePackets(options)));
}

// The exports a host calls from its callback, each as a host would call it.
struct Control {
    const char* name;
    void (*call)(int32_t port);
};
std::string gRecordPath;
// What a callback pushing more input hands over: whole packets of the port's stream.
std::vector<uint8_t> gMoreInput;
const Control kControls[] = {
    {"Pause", [](int32_t p) { QxPlay_Pause(p, 1); }},
    {"Fast", [](int32_t p) { QxPlay_Fast(p); }},
    {"Slow", [](int32_t p) { QxPlay_Slow(p); }},
    {"PlaySound", [](int32_t p) { QxPlay_PlaySound(p); }},
    {"StopSound", [](int32_t p) { QxPlay_StopSound(p); }},
    {"StartRecord", [](int32_t p) { QxPlay_StartRecord(p, gRecordPath.c_str()); }},
    {"StopRecord", [](int32_t p) { QxPlay_StopRecord(p); }},
    {"Play", [](int32_t p) { QxPlay_Play(p, kTestWindow); }},
    {"FreePort", [](int32_t p) { QxPlay_FreePort(p); }},
    {"InputData",
     [](int32_t p) {
         std::vector<uint8_t> copy = gMoreInput;
         QxPlay_InputData(p, copy.data(), static_cast<uint32_t>(copy.size()));
     }},
};

// The port's open mode and cache time (negative: the default). Without a cache a
// live port shows pictures, and calls back, from its decoding thread.
struct Mode {
    int mode;
    int cache;
};

// What the callback does, and what the stopping thread tells it.
std::atomic<void (*)(int32_t)> gCall{nullptr};
std::atomic<bool> gEntered{false}, gStopStarted{false}, gCalled{false};

// Enters once, waits for the stop to be under way, and then calls the export: the
// moment at which a stop that joins its workers under a lock hangs for good.
void OnPicture(int32_t port, char*, int32_t, const QxFrameInfo*, int32_t, int32_t) {
    if (gEntered.exchange(true))
        return;
    const auto limit = Clock::now() + 1s;
    while (!gStopStarted && Clock::now() < limit)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);
    gCall.load()(port);
    gCalled = true;
}

class CallbackDuringStop : public testing::TestWithParam<std::tuple<Mode, Control>> {};

TEST_P(CallbackDuringStop, EndsWithinTwoSeconds) {
    const auto [how, control] = GetParam();
    const int mode = how.mode;
    if (gMoreInput.empty())
        gMoreInput = Stream(3);
    gCall = control.call;
    gEntered = gStopStarted = gCalled = false;
    gRecordPath = testing::TempDir() + "/qx_lifecycle_" + std::to_string(::getpid()) + ".rec";
    PlaybackPort p(mode);
    const int32_t port = p.port();
    ASSERT_EQ(QxPlay_SetDecCallBack(port, &OnPicture), 1);
    if (how.cache >= 0) {
        ASSERT_EQ(QxPlay_SetCacheTime(port, how.cache), 1);
    }
    ASSERT_TRUE(p.Play());
    std::atomic<bool> done{false};
    // A host thread in exports all along, holding the table lock now and then.
    std::thread busy([&] {
        while (!done) {
            QxPlay_GetPlayStatus(port);
            QxPlay_GetPlayedFrames(port);
        }
    });
    std::thread feeder([&] { p.Feed(Stream(40), 4096); });
    const auto limit = Clock::now() + 10s;
    while (!gEntered && Clock::now() < limit)
        std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(gEntered) << "no picture reached the callback";
    gStopStarted = true;
    const auto start = Clock::now();
    QxPlay_Stop(port);
    EXPECT_LT(Clock::now() - start, 2s) << control.name << " in mode " << mode;
    done = true;
    feeder.join();
    busy.join();
    EXPECT_TRUE(gCalled);
    std::remove(gRecordPath.c_str());
}

INSTANTIATE_TEST_SUITE_P(EveryControl, CallbackDuringStop,
                         testing::Combine(testing::Values(Mode{0, -1}, Mode{0, 0}, Mode{1, -1},
                                                          Mode{3, -1}),
                                          testing::ValuesIn(kControls)),
                         [](const testing::TestParamInfo<std::tuple<Mode, Control>>& info) {
                             const Mode& how = std::get<0>(info.param);
                             return "mode" + std::to_string(how.mode) +
                                    (how.cache >= 0 ? "_cache" + std::to_string(how.cache) : "") +
                                    "_" + std::get<1>(info.param).name;
                         });

void FreeOwnPort(int32_t port, char*, int32_t, const QxFrameInfo*, int32_t, int32_t) {
    if (!gEntered.exchange(true))
        QxPlay_FreePort(port);
}

// The session of a port freed on its own worker is torn down by that worker; shut-down
// must wait for it, or the process exits under it.
TEST(FreedFromItsCallback, ThenShutDownThenExitIsClean) {
    EXPECT_EXIT(
        {
            RecordingRenderers renderers;
            QxPlay_Init();
            int32_t port = -1;
            QxPlay_GetPort(&port);
            QxPlay_SetStreamOpenMode(port, 1);
            gEntered = false;
            QxPlay_SetDecCallBack(port, &FreeOwnPort);
            QxPlay_Play(port, kTestWindow);
            std::vector<uint8_t> copy = Stream(20);
            QxPlay_InputData(port, copy.data(), static_cast<uint32_t>(copy.size()));
            const auto limit = Clock::now() + 10s;
            while (QxPlay_GetLastError(port) == 0 && Clock::now() < limit)
                std::this_thread::sleep_for(1ms);
            const bool freed = QxPlay_GetLastError(port) == -1;
            QxPlay_Destory();
            std::exit(freed ? 0 : 3);
        },
        testing::ExitedWithCode(0), "");
}

void SlowStart(const char*) {
    std::this_thread::sleep_for(2ms);
}

// The player is the parser's to open and close: the sound exports only ask, so no
// thread start, however slow, lets one close what another is still opening.
TEST(SoundRequests, OnAndOffWhileThreadsStartSlowly) {
    qx::SetThreadHooks({nullptr, &SlowStart});
    {
        PlaybackPort p(1);
        const long threads = StatusField("Threads:");
        ASSERT_TRUE(p.Play());
        std::thread feeder([&] { p.Feed(Stream(50, qx::kit::kAudioALaw), 1400); });
        for (int i = 0; i < 300; ++i) {
            ASSERT_EQ(QxPlay_PlaySound(p.port()), 1);
            ASSERT_EQ(QxPlay_StopSound(p.port()), 1);
        }
        ASSERT_EQ(QxPlay_PlaySound(p.port()), 1);
        feeder.join();
        EXPECT_TRUE(p.shown().WaitFor(50, 10s)) << p.shown().Count() << " of 50 shown";
        EXPECT_EQ(QxPlay_Stop(p.port()), 1);
        EXPECT_TRUE(ThreadsBackTo(threads));
    }
    qx::SetThreadHooks({});
}

bool RefuseRender(const char* role) {
    return std::string(role) != "render";
}

TEST(ThreadStarts, PlayReportsAWorkerThatCannotStart) {
    PlaybackPort p(0);
    qx::SetThreadHooks({&RefuseRender, nullptr});
    EXPECT_EQ(QxPlay_Play(p.port(), kTestWindow), 0);
    EXPECT_EQ(QxPlay_GetPlayStatus(p.port()), -19);
    qx::SetThreadHooks({});
    EXPECT_EQ(QxPlay_Play(p.port(), kTestWindow), 1);
    EXPECT_EQ(QxPlay_Stop(p.port()), 1);
}

}  // namespace
