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

enum class Export {
    kPause,
    kFast,
    kSlow,
    kPlaySound,
    kStopSound,
    kStartRecord,
    kStopRecord,
    kPlay,
    kFreePort
};

const char* Name(Export e) {
    static const char* const kNames[] = {"Pause",      "Fast",      "Slow",
                                         "PlaySound",  "StopSound", "StartRecord",
                                         "StopRecord", "Play",      "FreePort"};
    return kNames[static_cast<int>(e)];
}

// What the callback does, and what the stopping thread tells it.
struct Scene {
    std::atomic<Export> call{Export::kPause};
    std::atomic<bool> entered{false};
    std::atomic<bool> stopStarted{false};
    std::atomic<bool> called{false};
    std::string recordPath;
};
Scene gScene;

void CallExport(int32_t port) {
    switch (gScene.call.load()) {
        case Export::kPause:
            QxPlay_Pause(port, 1);
            break;
        case Export::kFast:
            QxPlay_Fast(port);
            break;
        case Export::kSlow:
            QxPlay_Slow(port);
            break;
        case Export::kPlaySound:
            QxPlay_PlaySound(port);
            break;
        case Export::kStopSound:
            QxPlay_StopSound(port);
            break;
        case Export::kStartRecord:
            QxPlay_StartRecord(port, gScene.recordPath.c_str());
            break;
        case Export::kStopRecord:
            QxPlay_StopRecord(port);
            break;
        case Export::kPlay:
            QxPlay_Play(port, kTestWindow);
            break;
        case Export::kFreePort:
            QxPlay_FreePort(port);
            break;
    }
}

// Enters once, waits for the stop to be under way, and then calls the export: the
// moment at which a stop that joins its workers under a lock hangs for good.
void OnPicture(int32_t port, char*, int32_t, const QxFrameInfo*, int32_t, int32_t) {
    if (gScene.entered.exchange(true))
        return;
    const auto limit = Clock::now() + 1s;
    while (!gScene.stopStarted && Clock::now() < limit)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);
    CallExport(port);
    gScene.called = true;
}

class CallbackDuringStop : public testing::TestWithParam<std::tuple<int, Export>> {};

TEST_P(CallbackDuringStop, EndsWithinTwoSeconds) {
    const auto [mode, call] = GetParam();
    gScene.call = call;
    gScene.entered = false;
    gScene.stopStarted = false;
    gScene.called = false;
    gScene.recordPath = "/tmp/qx_lifecycle_" + std::to_string(::getpid()) + ".rec";
    const std::vector<uint8_t> bytes = Stream(40);
    PlaybackPort p(mode);
    const int32_t port = p.port();
    ASSERT_EQ(QxPlay_SetDecCallBack(port, &OnPicture), 1);
    ASSERT_TRUE(p.Play());
    std::atomic<bool> done{false};
    // A host thread in exports all along, holding the table lock now and then.
    std::thread busy([&] {
        while (!done) {
            QxPlay_GetPlayStatus(port);
            QxPlay_GetPlayedFrames(port);
        }
    });
    std::thread feeder([&] { p.Feed(bytes, 4096); });
    const auto limit = Clock::now() + 10s;
    while (!gScene.entered && Clock::now() < limit)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(gScene.entered) << "no picture reached the callback";
    gScene.stopStarted = true;
    const auto start = Clock::now();
    QxPlay_Stop(port);
    const auto took = Clock::now() - start;
    EXPECT_LT(took, 2s) << Name(call) << " in mode " << mode;
    done = true;
    feeder.join();
    busy.join();
    EXPECT_TRUE(gScene.called);
    std::remove(gScene.recordPath.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    EveryControl, CallbackDuringStop,
    testing::Combine(testing::Values(0, 1, 3),
                     testing::Values(Export::kPause, Export::kFast, Export::kSlow,
                                     Export::kPlaySound, Export::kStopSound, Export::kStartRecord,
                                     Export::kStopRecord, Export::kPlay, Export::kFreePort)),
    [](const testing::TestParamInfo<std::tuple<int, Export>>& info) {
        return std::string("mode") + std::to_string(std::get<0>(info.param)) + "_" +
               Name(std::get<1>(info.param));
    });

void FreeOwnPort(int32_t port, char*, int32_t, const QxFrameInfo*, int32_t, int32_t) {
    if (!gScene.entered.exchange(true))
        QxPlay_FreePort(port);
}

// The session of a port freed on its own worker is torn down by that worker; shut-down
// must wait for it, or the process exits under it.
TEST(FreedFromItsCallback, ThenShutDownThenExitIsClean) {
    const std::vector<uint8_t> bytes = Stream(20);
    EXPECT_EXIT(
        {
            RecordingRenderers renderers;
            QxPlay_Init();
            int32_t port = -1;
            QxPlay_GetPort(&port);
            QxPlay_SetStreamOpenMode(port, 1);
            gScene.entered = false;
            QxPlay_SetDecCallBack(port, &FreeOwnPort);
            QxPlay_Play(port, kTestWindow);
            std::vector<uint8_t> copy = bytes;
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
    const std::vector<uint8_t> bytes = Stream(50, qx::kit::kAudioALaw);
    {
        PlaybackPort p(1);
        const long threads = StatusField("Threads:");
        ASSERT_TRUE(p.Play());
        std::thread feeder([&] { p.Feed(bytes, 1400); });
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
