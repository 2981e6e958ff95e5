#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace qx {

// Where the workers of one session sleep. Each topic counts its posts; a worker takes
// a ticket before it looks at the data it waits for, then sleeps until a topic it
// cares about has been posted since, or its timeout passes. A state change ends every
// sleep, so stop and speed changes take effect at once instead of after a timeout.
class WakeBoard {
  public:
    enum Topic : unsigned { kState = 0, kSource, kFrames, kRender, kExit, kTopicCount };

    using Ticket = std::array<uint64_t, kTopicCount>;

    static constexpr unsigned Bit(Topic topic) { return 1u << topic; }

    Ticket Take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_posts;
    }

    void Post(Topic topic) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_posts[topic];
        }
        m_cv.notify_all();
    }

    // True when woken by a post (a state change always counts), false on timeout.
    bool Wait(const Ticket& ticket, unsigned topics, long timeoutMs) {
        topics |= Bit(kState);
        std::unique_lock<std::mutex> lock(m_mutex);
        const auto posted = [&] {
            for (unsigned t = 0; t < kTopicCount; ++t) {
                if ((topics & (1u << t)) && m_posts[t] != ticket[t])
                    return true;
            }
            return false;
        };
        if (timeoutMs <= 0)
            return posted();
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), posted);
    }

    // Sleeps for timeoutMs unless the state changes first.
    bool Sleep(long timeoutMs) { return Wait(Take(), 0, timeoutMs); }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    Ticket m_posts{};
};

}  // namespace qx
