#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qx {

// Manual-reset event. Workers sleep on one so that a state change (Set) ends every
// pending wait at once instead of after the full timeout.
class Event {
  public:
    explicit Event(bool signalled = false) : m_signalled(signalled) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_signalled = true;
        }
        m_cv.notify_all();
    }

    void Reset() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled = false;
    }

    bool IsSet() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_signalled;
    }

    // Returns true when the event was (or became) signalled within the timeout.
    bool Wait(long timeoutMs) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (timeoutMs <= 0)
            return m_signalled;
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this] { return m_signalled; });
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_signalled;
};

}  // namespace qx
