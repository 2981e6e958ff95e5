// Play states, pacing and stopping through the C API.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <tuple>

#include "api/PortTable.h"
#include "support/PlaybackHarness.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<qx::kit::Packet> SmallPackets(int frames) {
    qx::kit::StreamOptions options;
    options.width = 192;
    options.height = 144;
    options.frames = frames;
    options.gop = 10;
    return qx::kit::StreamWriter::MakePackets(options);
}

std::vector<uint8_t> SmallStream(int frames) {
    return WithEndMarker(qx::kit::Serialize(SmallPackets(frames)));
}

int64_t CounterOf(const RenderRecord::Shown& s) {
    return qx::kit::ReadCounter(s.y.data(), s.width, s.width, s.height);
}

std::shared_ptr<DDrawSession> SessionOf(int32_t port) {
    CAutoLock lock(&qx::api::SessionMutex());
    return qx::api::Find(port);
}

// Stops the port, which must succeed, and says how long it took.
Clock::duration TimedStop(int32_t port) {
    const auto start = Clock::now();
    EXPECT_EQ(QxPlay_Stop(port), 1);
    return Clock::now() - start;
}

// The play controls by letter: Fast, Slow, Pause, Resume, One by one, Back, and FastEx
// by the digit of its speed.
const std::map<char, int (*)(int32_t)> kControls = {
    {'F', QxPlay_Fast},
    {'S', QxPlay_Slow},
    {'O', QxPlay_OneByOne},
    {'B', QxPlay_Back},
    {'P', [](int32_t p) { return QxPlay_Pause(p, 1); }},
    {'R', [](int32_t p) { return QxPlay_Pause(p, 0); }},
    {'3', [](int32_t p) { return QxPlay_FastEx(p, 3); }},
    {'8', [](int32_t p) { return QxPlay_FastEx(p, 8); }}};

// Each control and the state it leaves: speeds double and halve up to their limits, FastEx
// takes only the speeds of the table, a resume goes back to the speed paused, fast or slow
// from a pause start from normal play, and so does a paused single step.
TEST(PlayStates, SpeedTablesInFileLikeStreams) {
    PlaybackPort p(1);
    ASSERT_TRUE(p.Play());
    const std::pair<char, int> steps[] = {
        {'F', 2},   {'F', 4},   {'F', 8},   {'F', 16}, {'F', 16},  {'S', 8},   {'S', 4},
        {'S', 2},   {'S', 1},   {'S', -2},  {'S', -4}, {'S', -8},  {'S', -16}, {'S', -16},
        {'3', -16}, {'8', 8},   {'P', -18}, {'R', 8},  {'P', -18}, {'F', 2},   {'P', -18},
        {'S', -2},  {'O', -17}, {'P', -18}, {'R', 1},  {'P', -18}};
    for (const auto& [control, state] : steps) {
        EXPECT_EQ(kControls.at(control)(p.port()), control == '3' ? 0 : 1) << control;
        EXPECT_EQ(QxPlay_GetPlayStatus(p.port()), state) << control;
    }
    // Back empties the buffers: what the paused port holds goes.
    std::vector<uint8_t> bytes = SmallStream(10);
    ASSERT_EQ(QxPlay_InputData(p.port(), bytes.data(), static_cast<uint32_t>(bytes.size())), 1);
    EXPECT_EQ(QxPlay_Back(p.port()), 1);
    EXPECT_EQ(QxPlay_GetPlayStatus(p.port()), -20);
    EXPECT_EQ(SessionOf(p.port())->Input().Fill(), 0);
    EXPECT_EQ(QxPlay_Back(p.port()), 1);
    EXPECT_EQ(QxPlay_GetPlayStatus(p.port()), 1);
}

TEST(PlayStates, LiveModesOnlyPlayAndStop) {
    for (int mode : {0, 3}) {
        PlaybackPort p(mode);
        ASSERT_TRUE(p.Play());
        for (char control : std::string("FSPBO"))
            kControls.at(control)(p.port());
        EXPECT_EQ(QxPlay_FastEx(p.port(), 4), 1);
        EXPECT_EQ(QxPlay_GetPlayStatus(p.port()), 1);
        EXPECT_EQ(QxPlay_Stop(p.port()), 1);
        EXPECT_EQ(QxPlay_GetPlayStatus(p.port()), qx::kStateStop);
    }
}

// A second of stream (26 pictures at 25 fps; two seconds in 51) arriving at once.
TEST(Pacing, EachModeCacheAndSpeedKeepsItsTime) {
    struct Run {
        int mode, cache, state, frames;
        double least, most;
    } const runs[] = {
        // File-like streams play in stream time at every speed.
        {1, -1, 1, 26, 0.7, 2.0},
        {1, -1, 4, 26, 0.175, 0.65},
        {1, -1, -2, 26, 1.4, 3.8},
        // The fastest mode does not wait.
        {3, -1, 1, 51, -0.5, 1.0},
        // A live stream is held to its time stamps with a cache, shown as it comes without.
        {0, 500, 1, 26, 0.7, 2.0},
        {0, 0, 1, 26, -0.5, 0.5},
    };
    for (const Run& run : runs) {
        SCOPED_TRACE(testing::Message()
                     << "mode " << run.mode << ", cache " << run.cache << ", state " << run.state);
        PlaybackPort p(run.mode);
        if (run.cache >= 0)
            QxPlay_SetCacheTime(p.port(), run.cache);
        ASSERT_TRUE(p.Play());
        if (run.state != 1)
            QxPlay_SetPlayStatus(p.port(), run.state);
        p.Feed(SmallStream(run.frames), 65536);
        ASSERT_TRUE(p.shown().WaitFor(run.frames, 20s));
        const auto shown = p.shown().Pictures();
        // From the moment the first picture is shown to the last.
        const double seconds =
            std::chrono::duration<double>(shown[run.frames - 1].at - shown[0].at).count();
        EXPECT_GT(seconds, run.least);
        EXPECT_LT(seconds, run.most);
    }
}

// Without a jitter buffer the decoding thread shows a picture itself when the render
// thread has none left; with one the render thread does. Switching between the two
// while pictures are queued must neither lose nor repeat one.
TEST(Pacing, AJitterBufferSwitchedOnAndOffWhilePlayingShowsEveryPictureOnce) {
    constexpr int kFrames = 60;
    PlaybackPort p(0);
    ASSERT_EQ(QxPlay_SetCacheTime(p.port(), 0), 1);
    ASSERT_TRUE(p.Play());
    const std::vector<std::vector<uint8_t>> chunks = ChunksAtMarkers(SmallStream(kFrames));
    // Faster than the stream's own 25 fps, so that a switch finds pictures queued.
    const auto start = Clock::now();
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (i % 7 == 0)
            QxPlay_SetCacheTime(p.port(), (i / 7) % 2 == 1 ? 120 : 0);
        std::this_thread::sleep_until(start + i * 15ms);
        ASSERT_TRUE(p.Give(chunks[i]));
    }
    ASSERT_TRUE(p.shown().WaitFor(kFrames, 20s)) << "shown " << p.shown().Count();
    std::this_thread::sleep_for(200ms);
    const auto shown = p.shown().Pictures();
    ASSERT_EQ(shown.size(), static_cast<size_t>(kFrames));
    for (size_t i = 0; i < shown.size(); ++i)
        EXPECT_EQ(CounterOf(shown[i]), static_cast<int64_t>(i));
}

TEST(Pacing, ATimeStampGapHoldsAPictureForAtMostThreeIntervals) {
    std::vector<qx::kit::Packet> packets = SmallPackets(6);
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
            counters.insert(CounterOf(s));
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
    const auto last = [&] { return CounterOf(p.shown().Pictures().back()); };
    const int64_t paused = last();
    std::this_thread::sleep_for(400ms);
    EXPECT_LE(last(), paused + 1) << "the picture decoded as the pause came may follow";
    QxPlay_Pause(p.port(), 0);
    std::this_thread::sleep_for(400ms);
    EXPECT_GT(last(), paused + 2);
}

TEST(Stopping, LeavesNoWorkerFromAnyState) {
    std::vector<uint8_t> bytes = SmallStream(20);
    for (int state : {1, 2, 16, -2, -16, -17, -18, -20}) {
        SCOPED_TRACE(state);
        PlaybackPort p(1);
        ASSERT_TRUE(p.Play());
        std::atomic<bool> feeding{true};
        std::thread feeder([&] {
            while (feeding)
                QxPlay_InputData(p.port(), bytes.data(), static_cast<uint32_t>(bytes.size()));
        });
        p.shown().WaitFor(1, 5s);
        QxPlay_SetPlayStatus(p.port(), state);
        std::this_thread::sleep_for(100ms);
        EXPECT_LT(TimedStop(p.port()), 2s);
        EXPECT_FALSE(SessionOf(p.port())->HasWorkers());
        feeding = false;
        feeder.join();
    }
}

TEST(Stopping, ALiveDecoderWaitingForTheRendererEnds) {
    // With a jitter buffer the play loop waits for room in the full render queue; with
    // none it is the thread stuck in the renderer.
    for (int cache : {100, 0}) {
        SCOPED_TRACE(cache);
        PlaybackPort p(0);
        QxPlay_SetCacheTime(p.port(), cache);
        ASSERT_TRUE(p.Play());
        p.shown().SetStalled(true);
        p.Feed(SmallStream(20), 65536);
        std::this_thread::sleep_for(300ms);
        std::thread release([&] {
            std::this_thread::sleep_for(300ms);
            p.shown().SetStalled(false);
        });
        EXPECT_LT(TimedStop(p.port()), 2s);
        release.join();
        EXPECT_FALSE(SessionOf(p.port())->HasWorkers());
    }
}

TEST(Stopping, BeforePlayingAndByStateThenPlayedAgain) {
    PlaybackPort p(1);
    EXPECT_LT(TimedStop(p.port()), 1s) << "a port that never played";
    ASSERT_TRUE(p.Play());
    ASSERT_TRUE(p.Play());
    p.Feed(SmallStream(5), 65536);
    ASSERT_TRUE(p.shown().WaitFor(5, 10s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(p.shown().Count(), 5u) << "two play threads would show pictures twice";
    QxPlay_SetPlayStatus(p.port(), qx::kStateStop);
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(p.Play());
    p.Feed(SmallStream(5), 65536);
    EXPECT_TRUE(p.shown().WaitFor(10, 10s)) << "the workers that ended must be started again";
}

// A host thread already inside QxPlay_Play holds the session while another thread
// frees the port: the play must not start workers nobody will ever stop.
TEST(Stopping, AFreedPortStillHeldNeverPlaysAgain) {
    PlaybackPort p(0);
    const std::shared_ptr<DDrawSession> held = SessionOf(p.port());
    ASSERT_TRUE(held);
    ASSERT_TRUE(p.Play());
    ASSERT_EQ(QxPlay_FreePort(p.port()), 1);
    EXPECT_EQ(held->Play(), 0);
    EXPECT_FALSE(held->HasWorkers());
}

TEST(EndOfData, NotifiesOnceUntilTheNextPacket) {
    static std::atomic<int32_t> calls{0}, seenPort{-1};
    static std::atomic<void*> seenUser{nullptr};
    PlaybackPort p(1);
    ASSERT_TRUE(p.Play());
    int user = 7;
    QxPlay_SetDecMsgCallBack(
        p.port(),
        [](int32_t port, int32_t message, void* u) {
            calls += message == 0 ? 1 : 0;
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
    // Most of one large packet: the buffer holds it, waiting for the rest.
    qx::kit::Packet large;
    large.header.knd = qx::kKindH264;
    large.payload.assign(0x1F0000, 0x11);
    large.header.nal_len = static_cast<int32_t>(large.payload.size());
    std::vector<uint8_t> bytes = qx::kit::Serialize({large});
    bytes.resize(0x1E0000);
    std::vector<uint8_t> more(0x20000, 0x11);
    for (const auto& [mode, least, most] : {std::tuple{0, -1.0, 0.2}, std::tuple{1, 0.8, 3.0}}) {
        SCOPED_TRACE(mode);
        PlaybackPort p(mode);
        ASSERT_TRUE(p.Play());
        ASSERT_EQ(QxPlay_InputData(p.port(), bytes.data(), static_cast<uint32_t>(bytes.size())), 1);
        const auto start = Clock::now();
        EXPECT_EQ(QxPlay_InputData(p.port(), more.data(), static_cast<uint32_t>(more.size())), 0);
        const double waited = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_GT(waited, least);
        EXPECT_LT(waited, most);
        std::this_thread::sleep_for(600ms);
        EXPECT_EQ(SessionOf(p.port())->Input().Fill(), static_cast<int>(bytes.size())) << "held";
    }
}

TEST(Seeking, PositionAndPlayedTime) {
    PlaybackPort p(1);
    auto session = SessionOf(p.port());
    session->File().SetFileSeconds(600);
    for (float outside : {1.5f, -0.5f, std::nanf("")})
        EXPECT_EQ(QxPlay_SetPlayPos(p.port(), outside), 0) << outside;
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
