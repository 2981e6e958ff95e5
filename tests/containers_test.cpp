// The small parts everything else stands on: the source and frame buffers' byte
// queue, the audio ring, the key-packet index, the lip-sync clocks, a worker's
// mailbox, and the choice of where sound goes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "audio/AudioSink.h"
#include "audio/SilentSink.h"
#include "platform/WakeSignal.h"
#include "session/AudioCirQueue.h"
#include "session/ByteQueue.h"
#include "session/PlayClock.h"
#include "session/PositionIndex.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;

Bytes Sequence(int n, unsigned char first) {
    Bytes bytes(static_cast<size_t>(n));
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

Bytes Held(const ByteQueue& queue) {
    return Bytes(queue.Front(), queue.Front() + queue.Size());
}

TEST(ByteQueue, KeepsOrderAndAbsolutePositionsAcrossConsumeCompactAndGrow) {
    ByteQueue queue(10);
    const Bytes a = Sequence(6, 0);
    ASSERT_TRUE(queue.Append(a.data(), 6));
    EXPECT_FALSE(queue.Append(a.data(), 5)) << "one byte past the capacity";
    EXPECT_EQ(Held(queue), a) << "a refused append copies nothing";
    EXPECT_EQ(queue.Consume(4), 4);
    EXPECT_EQ(queue.FrontPosition(), 4);
    // Fits only once the consumed bytes are moved out of the way.
    const Bytes b = Sequence(8, 100);
    ASSERT_TRUE(queue.Append(b.data(), 8));
    Bytes expected = {4, 5};
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(Held(queue), expected);
    EXPECT_EQ(queue.FrontPosition(), 4);
    EXPECT_EQ(queue.EndPosition(), 14);
    ASSERT_TRUE(queue.Grow(64));
    EXPECT_EQ(queue.Capacity(), 64);
    EXPECT_EQ(Held(queue), expected) << "growing keeps the bytes";
    EXPECT_EQ(queue.FrontPosition(), 4);
    EXPECT_TRUE(queue.Grow(16)) << "never shrinks";
    EXPECT_EQ(queue.Capacity(), 64);
    EXPECT_EQ(queue.Consume(100), 10) << "no more than is held";
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(queue.FrontPosition(), 14);
    queue.Clear();
    EXPECT_EQ(queue.Size(), 0);
}

FRAME_BUF Frame(int64_t pts) {
    FRAME_BUF frame;
    frame.param.pts = pts;
    frame.data[0] = static_cast<unsigned char>(pts);
    return frame;
}

TEST(AudioCirQueue, IsAFifoOfItsCapacityThatWrapsAround) {
    AudioCirQueue queue;
    FRAME_BUF out;
    EXPECT_FALSE(queue.Push(Frame(1))) << "not initialised";
    ASSERT_TRUE(queue.Initialise(3));
    for (int64_t pts = 0; pts < 3; ++pts)
        ASSERT_TRUE(queue.Push(Frame(pts)));
    EXPECT_TRUE(queue.IsFull());
    EXPECT_FALSE(queue.Push(Frame(9)));
    ASSERT_TRUE(queue.DropOldest());
    ASSERT_TRUE(queue.Push(Frame(3)));
    for (int64_t pts = 1; pts <= 3; ++pts) {
        ASSERT_TRUE(queue.Pop(&out));
        EXPECT_EQ(out.param.pts, pts);
        EXPECT_EQ(out.data[0], pts);
    }
    EXPECT_FALSE(queue.Pop(&out));
    EXPECT_FALSE(queue.DropOldest());
    queue.Push(Frame(5));
    queue.Clear();
    EXPECT_TRUE(queue.IsEmpty());
    ASSERT_TRUE(queue.Initialise(0));
    EXPECT_EQ(queue.Capacity(), 1) << "room for one frame at least";
}

TEST(PositionIndex, OldestKeyByPtsAndCutsByPosition) {
    PositionIndex index;
    EXPECT_FALSE(index.Oldest().has_value());
    index.AddKey(3000, 300);
    index.AddKey(1000, 100);
    index.AddKey(2000, 200);
    index.AddKey(2000, 250);
    EXPECT_EQ(index.KeyCount(), 3u) << "a pts is listed once, at its newest position";
    ASSERT_TRUE(index.Oldest().has_value());
    EXPECT_EQ(index.Oldest()->pts, 1000);
    index.DropBefore(250);
    ASSERT_EQ(index.KeyCount(), 2u);
    EXPECT_EQ(index.Oldest()->position, 250);
    index.Remove(2000);
    EXPECT_EQ(index.Oldest()->pts, 3000);
    index.NoteNewestInput(7);
    index.NoteLastRendered(5);
    index.Clear();
    EXPECT_EQ(index.KeyCount(), 0u);
    EXPECT_EQ(index.NewestInput(), 0);
    EXPECT_EQ(index.LastRendered(), 0);
}

TEST(PlayClock, SoundAfterAStateChangeCountsWhenItGoesOnButNotAcrossAJump) {
    PlayClock clock;
    EXPECT_FALSE(clock.AudioBehindVideo()) << "level clocks";
    clock.AdvanceAudio(1000000, false, true);
    clock.AdvanceAudio(1040000, true, false);
    EXPECT_EQ(clock.VideoAheadOfAudio(0), -40);
    // Eight seconds on at once: a seek, which the sound clock must not count.
    clock.AdvanceAudio(9040000, true, false);
    EXPECT_EQ(clock.VideoAheadOfAudio(0), -40);
    clock.AdvanceAudio(9080000, false, false);
    EXPECT_EQ(clock.VideoAheadOfAudio(25), -55);
}

TEST(WakeSignal, KeepsAPostForTheNextWaitAndWakesOnlyForItsTopics) {
    qx::WakeSignal signal;
    signal.Post(qx::WakeSignal::kInput);
    EXPECT_EQ(signal.Wait(qx::WakeSignal::kInput, 0), qx::WakeSignal::kInput)
        << "a post before the wait is not lost";
    signal.Post(qx::WakeSignal::kRender);
    EXPECT_EQ(signal.Wait(qx::WakeSignal::kInput, 20), 0u) << "another thread's topic";
    EXPECT_EQ(signal.Wait(qx::WakeSignal::kRender, 0), qx::WakeSignal::kRender)
        << "and it stays for the one it concerns";
    EXPECT_FALSE(signal.Sleep(10));
    std::thread poster([&] {
        std::this_thread::sleep_for(20ms);
        signal.Post(qx::WakeSignal::kState);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(signal.Sleep(5000)) << "a state change ends a sleep";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    poster.join();
}

TEST(WakeSignal, EachOfTwoWaitersIsWokenForItsOwnTopic) {
    qx::WakeSignal signal;
    std::atomic<unsigned> inputTaken{0};
    std::atomic<unsigned> renderTaken{0};
    std::thread input([&] { inputTaken = signal.Wait(qx::WakeSignal::kInput, 5000); });
    std::thread render([&] { renderTaken = signal.Wait(qx::WakeSignal::kRender, 5000); });
    std::this_thread::sleep_for(50ms);
    signal.Post(qx::WakeSignal::kInput);
    input.join();
    EXPECT_EQ(inputTaken.load(), qx::WakeSignal::kInput);
    // The first waiter has gone and the other, woken with it, is waiting again: it
    // must still be woken by its topic.
    std::this_thread::sleep_for(50ms);
    const auto start = std::chrono::steady_clock::now();
    signal.Post(qx::WakeSignal::kRender);
    render.join();
    EXPECT_EQ(renderTaken.load(), qx::WakeSignal::kRender);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

class WatchedSink : public qx::audio::SilentSink {
  public:
    const char* Name() const override { return "watched"; }
};

class RefusingSink : public WatchedSink {
  public:
    bool Open(const qx::audio::PcmFormat&) override { return false; }
};

TEST(SinkChoice, FactoryThenFileThenDeviceOrSilence) {
    const qx::audio::PcmFormat format;
    qx::audio::SetSinkFactory([] { return std::make_unique<WatchedSink>(); });
    EXPECT_STREQ(qx::audio::OpenSink(format)->Name(), "watched");
    qx::audio::SetSinkFactory([] { return std::make_unique<RefusingSink>(); });
    EXPECT_EQ(qx::audio::OpenSink(format), nullptr) << "a factory's sink that fails is no sink";
    qx::audio::SetSinkFactory(nullptr);

    const std::string wav = testing::TempDir() + "/qxsink-" + std::to_string(getpid()) + ".wav";
    const std::string second =
        testing::TempDir() + "/qxsink-" + std::to_string(getpid()) + "-2.wav";
    qx::audio::SetOutputFile(wav);
    EXPECT_STREQ(qx::audio::OpenSink(format)->Name(), "wav");
    EXPECT_STREQ(qx::audio::OpenSink(format)->Name(), "wav");
    EXPECT_TRUE(std::ifstream(wav).good());
    EXPECT_TRUE(std::ifstream(second).good()) << "each player its own file";
    qx::audio::SetOutputFile("");
    std::remove(wav.c_str());
    std::remove(second.c_str());

    const std::string name = qx::audio::OpenSink(format)->Name();
    EXPECT_TRUE(name == "alsa" || name == "silent") << name;
    EXPECT_EQ(qx::audio::LastSinkName(), name);
}

}  // namespace
