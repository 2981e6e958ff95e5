#include "session/PortStatistics.h"

#include <algorithm>
#include <vector>

namespace {

int64_t SlotOf(PortStatistics::Clock::time_point when, int slotMs) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() /
           slotMs;
}

}  // namespace

void PortStatistics::Reset() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_figures = Figures{};
    m_buckets.fill(Bucket{});
    m_arrivals.fill(Arrival{});
    m_nextArrival = 0;
    m_latencies.clear();
}

void PortStatistics::NoteInput(int bytes) {
    const int64_t slot = SlotOf(Clock::now(), kBucketMs);
    std::lock_guard<std::mutex> lock(m_lock);
    m_figures.inputBytes += bytes;
    Bucket& bucket = m_buckets[static_cast<size_t>(slot % kBuckets)];
    if (bucket.slot != slot)
        bucket = Bucket{slot, 0};
    bucket.bytes += bytes;
}

void PortStatistics::NoteArrival(int64_t pts) {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(m_lock);
    // Parameter sets may come in packets of their own with the picture's stamp: the
    // picture's packet, the last of them, is the one that counts.
    for (Arrival& arrival : m_arrivals) {
        if (arrival.valid && arrival.pts == pts) {
            arrival.when = now;
            return;
        }
    }
    m_arrivals[m_nextArrival] = Arrival{pts, now, true};
    m_nextArrival = (m_nextArrival + 1) % kArrivals;
}

void PortStatistics::NoteDecoded(int codecKind) {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_figures.decoded;
    m_figures.codecKind = codecKind;
}

void PortStatistics::NoteShown(int64_t pts, bool live, int lateAfterMs) {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_figures.shown;
    if (!live)
        return;
    for (Arrival& arrival : m_arrivals) {
        if (!arrival.valid || arrival.pts != pts)
            continue;
        arrival.valid = false;
        const auto ms = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(now - arrival.when).count());
        if (ms > lateAfterMs)
            ++m_figures.late;
        m_latencies.emplace_back(now, ms);
        PruneLatencies_locked(now);
        return;
    }
}

void PortStatistics::NoteDropped(int64_t pictures) {
    if (pictures <= 0)
        return;
    std::lock_guard<std::mutex> lock(m_lock);
    m_figures.dropped += pictures;
}

void PortStatistics::PruneLatencies_locked(Clock::time_point now) {
    while (!m_latencies.empty() && now - m_latencies.front().first > std::chrono::seconds(1))
        m_latencies.pop_front();
}

PortStatistics::Figures PortStatistics::Read() {
    const Clock::time_point now = Clock::now();
    const int64_t slot = SlotOf(now, kBucketMs);
    std::lock_guard<std::mutex> lock(m_lock);
    Figures figures = m_figures;
    // The last whole second: the slots before the one now filling.
    int64_t bytes = 0;
    for (const Bucket& bucket : m_buckets) {
        if (bucket.slot >= slot - kWindowSlots && bucket.slot < slot)
            bytes += bucket.bytes;
    }
    figures.bitsPerSecond = bytes * 8;
    PruneLatencies_locked(now);
    if (!m_latencies.empty()) {
        std::vector<int> values;
        values.reserve(m_latencies.size());
        for (const auto& sample : m_latencies)
            values.push_back(sample.second);
        std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
        figures.latencyMs = values[values.size() / 2];
    }
    return figures;
}
