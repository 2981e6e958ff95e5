// Play states, pacing and stopping through the C API.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <set>
#include <thread>

#include "api/PortTable.h"
#include "support/PlaybackHarness.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<uint8_t> SmallStream(int frames, int fps = 25) {
    qx::kit::StreamOptions options;
    options.width = 192;
    options.height = 144;
    options.frames = frames;
    options.fps = fps;
    options.gop = 10;
    return WithEndMarker(qx::kit::StreamWriter::MakeStream(options));
}

std::shared_ptr<DDrawSession> SessionOf(int32_t port) {
    CAutoLock lock(&qx::api::SessionMutex());
    return qx::api::Find(port);
}

TEST(PlayStates, SpeedTablesInFileLikeStreams) {
    PlaybackPort p(1);
    const int32_t port = p.port();
    ASSERT_TRUE(p.Play());
    const auto state = [&] { return QxPlay_GetPlayStatus(port); };
    for (int expected : {2, 4, 8, 16, 16}) {
        EXPECT_EQ(QxPlay_Fast(port), 1);
        EXPECT_EQ(state(), expected);
    }
    for (int expected : {8, 4, 2, 1, -2, -4, -8, -16, -16}) {
        EXPECT_EQ(QxPlay_Slow(port), 1);
        EXPECT_EQ(state(), expected);
    }
    EXPECT_EQ(QxPlay_FastEx(port, 3), 0);
    EXPECT_EQ(state(), -16);
    EXPECT_EQ(QxPlay_FastEx(port, 8), 1);
    EXPECT_EQ(state(), 8);

    EXPECT_EQ(QxPlay_Pause(port, 1), 1);
    EXPECT_EQ(state(), -18);
    EXPECT_EQ(QxPlay_Pause(port, 0), 1);
    EXPECT_EQ(state(), 8);
    QxPlay_Pause(port, 1);
    QxPlay_Fast(port);
    EXPECT_EQ(state(), 2) << "fast from pause";
    QxPlay_Pause(port, 1);
    QxPlay_Slow(port);
    EXPECT_EQ(state(), -2) << "slow from pause";

    QxPlay_OneByOne(port);
    EXPECT_EQ(state(), -17);
    QxPlay_Pause(port, 1);
    QxPlay_Pause(port, 0);
    EXPECT_EQ(state(), 1) << "a paused single step resumes as normal play";

    EXPECT_EQ(QxPlay_Back(port), 1);
    EXPECT_EQ(state(), -20);
    EXPECT_EQ(QxPlay_Back(port), 1);
    EXPECT_EQ(state(), 1);
}

TEST(PlayStates, LiveModesOnlyPlayAndStop) {
    for (int mode : {0, 3}) {
        PlaybackPort p(mode);
        const int32_t port = p.port();
        ASSERT_TRUE(p.Play());
        QxPlay_Fast(port);
        QxPlay_Slow(port);
        QxPlay_Pause(port, 1);
        QxPlay_Back(port);
        QxPlay_OneByOne(port);
        EXPECT_EQ(QxPlay_FastEx(port, 4), 1);
        EXPECT_EQ(QxPlay_GetPlayStatus(port), 1);
        EXPECT_EQ(QxPlay_Stop(port), 1);
        EXPECT_EQ(QxPlay_GetPlayStatus(port), qx::kStateStop);
    }
}

TEST(PlayStates, BackEmptiesTheBuffers) {
    PlaybackPort p(1);
    ASSERT_TRUE(p.Play());
    QxPlay_Pause(p.port(), 1);
    const std::vector<uint8_t> bytes = SmallStream(10);
    ASSERT_EQ(QxPlay_InputData(p.port(), const_cast<uint8_t*>(bytes.data()),
                               static_cast<uint32_t>(bytes.size())),
              1);
    QxPlay_Back(p.port());
    EXPECT_EQ(SessionOf(p.port())->Input().Fill(), 0);
}

TEST(PlayStates, PlayTwiceStartsOnce) {
    PlaybackPort p(1);
    ASSERT_TRUE(p.Play());
    ASSERT_TRUE(p.Play());
    p.Feed(SmallStream(10), 4096);
    ASSERT_TRUE(p.shown().WaitFor(10, 10s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(p.shown().Count(), 10u) << "two play threads would show pictures twice";
}

// Wall time to show n pictures from the moment the first is shown.
double SecondsFor(PlaybackPort& p, size_t n) {
    EXPECT_TRUE(p.shown().WaitFor(n, 20s));
    const auto shown = p.shown().Pictures();
    return std::chrono::duration<double>(shown[n - 1].at - shown[0].at).count();
}

TEST(Pacing, FileLikeStreamsPlayInStreamTimeAtEverySpeed) {
    struct Run {
        int state;
        double seconds;
    };
    // 26 pictures at 25 fps: one second of stream time between the first and the last.
    for (Run run : {Run{1, 1.0}, Run{4, 0.25}, Run{-2, 2.0}}) {
        SCOPED_TRACE(run.state);
        PlaybackPort p(1);
        ASSERT_TRUE(p.Play());
        if (run.state != 1)
            QxPlay_SetPlayStatus(p.port(), run.state);
        std::thread feeder([&] { p.Feed(SmallStream(26), 65536); });
        const double seconds = SecondsFor(p, 26);
        feeder.join();
        EXPECT_GT(seconds, run.seconds * 0.7);
        EXPECT_LT(seconds, run.seconds * 1.8 + 0.2);
    }
}

TEST(Pacing, FastestModeDoesNotWait) {
    PlaybackPort p(3);
    ASSERT_TRUE(p.Play());
    p.Feed(SmallStream(50), 65536);
    EXPECT_LT(SecondsFor(p, 50), 1.0) << "two seconds of stream";
}

TEST(Pacing, LiveModePacesByTimeStampsOnlyWithACache) {
    for (int cache : {500, 0}) {
        SCOPED_TRACE(cache);
        PlaybackPort p(0);
        QxPlay_SetCacheTime(p.port(), cache);
        ASSERT_TRUE(p.Play());
        // A second of stream arriving at once: held to its time stamps with a cache,
        // shown as it comes without one.
        std::thread feeder([&] { p.Feed(SmallStream(26), 65536); });
        const double seconds = SecondsFor(p, 26);
        feeder.join();
        if (cache > 0) {
            EXPECT_GT(seconds, 0.7);
            EXPECT_LT(seconds, 2.0);
        } else {
            EXPECT_LT(seconds, 0.5);
        }
    }
}

TEST(Pacing, ATimeStampGapHoldsAPictureForAtMostThreeIntervals) {
    qx::kit::StreamOptions options;
    options.width = 192;
    options.height = 144;
    options.frames = 6;
    options.gop = 10;
    std::vector<qx::kit::Packet> packets = qx::kit::StreamWriter::MakePackets(options);
    for (size_t i = 3; i < packets.size(); ++i)
        packets[i].header.pts += 10'000'000;
    PlaybackPort p(1);
    ASSERT_TRUE(p.Play());
    p.Feed(WithEndMarker(qx::kit::Serialize(packets)), 65536);
    ASSERT_TRUE(p.shown().WaitFor(6, 10s));
    const auto shown = p.shown().Pictures();
    EXPECT_LT(std::chrono::duration<double>(shown[3].at - shown[2].at).count(), 0.3);
}

TEST(Stepping, EachRequestShowsOneNewPicture) {
    PlaybackPort p(1);
    ASSERT_TRUE(p.Play());
    QxPlay_OneByOne(p.port());
    p.Feed(SmallStream(12), 65536);
    std::set<int64_t> counters;
    for (int step = 0; step < 5; ++step) {
        std::this_thread::sleep_for(150ms);
        for (const auto& s : p.shown().Pictures())
            counters.insert(qx::kit::ReadCounter(s.y.data(), s.width, s.width, s.height));
        EXPECT_EQ(counters.size(), static_cast<size_t>(step + 1));
        QxPlay_OneByOne(p.port());
    }
}

TEST(Pausing, ShowsNothingNewUntilResumed) {
    PlaybackPort p(1);
    ASSERT_TRUE(p.Play());
    p.Feed(SmallStream(40), 65536);
    ASSERT_TRUE(p.shown().WaitFor(3, 10s));
    QxPlay_Pause(p.port(), 1);
    std::this_thread::sleep_for(150ms);
    const auto last = [&] {
        const auto s = p.shown().Pictures();
        return qx::kit::ReadCounter(s.back().y.data(), s.back().width, s.back().width,
                                    s.back().height);
    };
    const int64_t paused = last();
    std::this_thread::sleep_for(400ms);
    EXPECT_LE(last(), paused + 1) << "the picture decoded as the pause came may follow";
    QxPlay_Pause(p.port(), 0);
    std::this_thread::sleep_for(400ms);
    EXPECT_GT(last(), paused + 2);
}

TEST(Stopping, LeavesNoWorkerFromAnyState) {
    for (int state : {1, 2, 16, -2, -16, -17, -18, -20}) {
        SCOPED_TRACE(state);
        PlaybackPort p(1);
        ASSERT_TRUE(p.Play());
        std::atomic<bool> feeding{true};
        std::thread feeder([&] {
            const std::vector<uint8_t> bytes = SmallStream(20);
            while (feeding)
                QxPlay_InputData(p.port(), const_cast<uint8_t*>(bytes.data()),
                                 static_cast<uint32_t>(bytes.size()));
        });
        p.shown().WaitFor(1, 5s);
        QxPlay_SetPlayStatus(p.port(), state);
        std::this_thread::sleep_for(100ms);
        const auto start = Clock::now();
        EXPECT_EQ(QxPlay_Stop(p.port()), 1);
        EXPECT_LT(Clock::now() - start, 2s);
        EXPECT_FALSE(SessionOf(p.port())->HasWorkers());
        feeding = false;
        feeder.join();
    }
}

TEST(Stopping, ALiveDecoderWaitingForTheRendererEnds) {
    PlaybackPort p(0);
    QxPlay_SetCacheTime(p.port(), 0);
    ASSERT_TRUE(p.Play());
    p.shown().SetStalled(true);
    p.Feed(SmallStream(20), 65536);
    // The render queue is full and the play loop waits for room when the stop comes.
    std::this_thread::sleep_for(300ms);
    std::thread release([&] {
        std::this_thread::sleep_for(300ms);
        p.shown().SetStalled(false);
    });
    const auto start = Clock::now();
    EXPECT_EQ(QxPlay_Stop(p.port()), 1);
    EXPECT_LT(Clock::now() - start, 2s);
    release.join();
    EXPECT_FALSE(SessionOf(p.port())->HasWorkers());
}

TEST(Stopping, StopOfASessionThatNeverPlayedIsQuick) {
    PlaybackPort p(1);
    const auto start = Clock::now();
    EXPECT_EQ(QxPlay_Stop(p.port()), 1);
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST(Stopping, StoppedByStateThenPlayedAgain) {
    PlaybackPort p(1);
    ASSERT_TRUE(p.Play());
    p.Feed(SmallStream(5), 65536);
    ASSERT_TRUE(p.shown().WaitFor(5, 10s));
    QxPlay_SetPlayStatus(p.port(), qx::kStateStop);
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(p.Play());
    p.Feed(SmallStream(5), 65536);
    EXPECT_TRUE(p.shown().WaitFor(10, 10s)) << "the workers that ended must be started again";
}

struct CallbackStop {
    std::atomic<int> calls{0};
    std::atomic<bool> freed{false};
};

TEST(Stopping, FromAHostCallbackOnAWorker) {
    static CallbackStop record;
    record.calls = 0;
    PlaybackPort p(1);
    ASSERT_TRUE(p.Play());
    QxPlay_SetDecMsgCallBack(
        p.port(),
        [](int32_t port, int32_t, void*) {
            ++record.calls;
            // A host that ends playback from the notice itself.
            QxPlay_Stop(port);
            record.freed = QxPlay_FreePort(port) == 1;
        },
        nullptr);
    p.Feed(SmallStream(5), 65536);
    const auto deadline = Clock::now() + 10s;
    while (!record.freed && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(record.freed);
    EXPECT_EQ(record.calls, 1);
}

TEST(EndOfData, NotifiesOnceUntilTheNextPacket) {
    static std::atomic<int> calls{0};
    static std::atomic<int32_t> seenPort{-1};
    static std::atomic<void*> seenUser{nullptr};
    PlaybackPort p(1);
    ASSERT_TRUE(p.Play());
    int user = 7;
    QxPlay_SetDecMsgCallBack(
        p.port(),
        [](int32_t port, int32_t message, void* u) {
            if (message == 0)
                ++calls;
            seenPort = port;
            seenUser = u;
        },
        &user);
    p.Feed(SmallStream(5), 65536);
    ASSERT_TRUE(p.shown().WaitFor(5, 10s));
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seenPort, p.port());
    EXPECT_EQ(seenUser.load(), &user);
}

TEST(Input, FileLikeModeWaitsForRoomLiveModeRefusesAtOnce) {
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        PlaybackPort p(mode);
        ASSERT_TRUE(p.Play());
        // Most of one large packet: the buffer holds it, waiting for the rest.
        qx::kit::Packet large;
        large.header.knd = qx::kKindH264;
        large.payload.assign(0x1F0000, 0x11);
        large.header.nal_len = static_cast<int32_t>(large.payload.size());
        std::vector<uint8_t> bytes = qx::kit::Serialize({large});
        bytes.resize(0x1E0000);
        ASSERT_EQ(QxPlay_InputData(p.port(), bytes.data(), static_cast<uint32_t>(bytes.size())), 1);
        std::vector<uint8_t> more(0x20000, 0x11);
        const auto start = Clock::now();
        EXPECT_EQ(QxPlay_InputData(p.port(), more.data(), static_cast<uint32_t>(more.size())), 0);
        const double waited = std::chrono::duration<double>(Clock::now() - start).count();
        if (mode == 1) {
            EXPECT_GT(waited, 0.8);
            EXPECT_LT(waited, 3.0);
        } else {
            EXPECT_LT(waited, 0.2);
        }
    }
}

TEST(Seeking, PositionAndPlayedTime) {
    PlaybackPort p(1);
    auto session = SessionOf(p.port());
    session->File().SetFileSeconds(600);
    EXPECT_EQ(QxPlay_SetPlayPos(p.port(), 1.5f), 0);
    EXPECT_EQ(QxPlay_SetPlayPos(p.port(), -0.5f), 0);
    EXPECT_EQ(QxPlay_SetPlayPos(p.port(), std::nanf("")), 0);
    EXPECT_EQ(session->File().SeekRequest(), -1);
    EXPECT_EQ(QxPlay_SetPlayPos(p.port(), 0.5f), 1);
    EXPECT_EQ(session->File().SeekRequest(), 300);
    EXPECT_EQ(QxPlay_GetCurrentFrameNum(p.port()), 7500);

    EXPECT_EQ(QxPlay_SetPlayedTimeEx(p.port(), 3'000'000), 1);
    EXPECT_EQ(session->Clock().PlayTimeOffset(), 3'000'000'000LL) << "computed in 64 bits";
    EXPECT_TRUE(session->Port().keyFrameWait.load());

    PlaybackPort live(0);
    EXPECT_EQ(QxPlay_SetPlayedTimeEx(live.port(), 5), 1);
    EXPECT_EQ(SessionOf(live.port())->Clock().PlayTimeOffset(), 0);
    EXPECT_FALSE(SessionOf(live.port())->Port().keyFrameWait.load());
}

}  // namespace
