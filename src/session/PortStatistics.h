#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>

// What one port has done since it last started playing, for the host's statistics:
// pictures decoded, shown, dropped and late, the bytes taken and their rate, and
// the time from a live packet's arrival to its picture on screen.
//
// Internally locked by a leaf lock: nothing else is taken or called while it is held,
// so every thread of the port may report into it from inside its own locks.
class PortStatistics {
  public:
    using Clock = std::chrono::steady_clock;

    struct Figures {
        int codecKind = -1;
        int64_t decoded = 0;
        int64_t shown = 0;
        int64_t dropped = 0;
        int64_t late = 0;
        int64_t inputBytes = 0;
        int64_t bitsPerSecond = 0;
        // -1 when no live picture was shown within the last second.
        int latencyMs = -1;
    };

    // Play: everything counts from zero again.
    void Reset();
    // Host thread: bytes the port took.
    void NoteInput(int bytes);
    // Live mode: a video packet has arrived whole; its picture's latency is counted
    // from now.
    void NoteArrival(int64_t pts);
    // Play-video thread: a picture of the packet kind came out of the decoder.
    void NoteDecoded(int codecKind);
    // A picture reached the screen and the host's callbacks. Live pictures (live)
    // are timed from their arrival and are late past lateAfterMs.
    void NoteShown(int64_t pts, bool live, int lateAfterMs);
    // Pictures let go unshown: cut out by the latency control, thrown away at a
    // discontinuity, or decoded and emptied out of the render queue.
    void NoteDropped(int64_t pictures);

    Figures Read();

  private:
    struct Arrival {
        int64_t pts = 0;
        Clock::time_point when;
        bool valid = false;
    };
    struct Bucket {
        int64_t slot = -1;
        int64_t bytes = 0;
    };
    // A second of 100 ms slots, and the slot now filling.
    static constexpr int kWindowSlots = 10;
    static constexpr int kBuckets = kWindowSlots + 1;
    static constexpr int kBucketMs = 100;
    static constexpr size_t kArrivals = 128;

    void PruneLatencies_locked(Clock::time_point now);

    std::mutex m_lock;
    // guarded by m_lock
    Figures m_figures;
    std::array<Bucket, kBuckets> m_buckets;
    std::array<Arrival, kArrivals> m_arrivals;
    size_t m_nextArrival = 0;
    std::deque<std::pair<Clock::time_point, int>> m_latencies;
};
