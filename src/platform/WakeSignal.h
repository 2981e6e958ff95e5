#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qx {

// The mailbox one worker thread sleeps on. Producers post the topics that concern
// it; the worker looks at its data first and, finding nothing to do, waits for one
// of the topics it cares about. A post that lands between the look and the wait is
// kept, so nothing is missed; a post the worker did not need costs one extra look.
// Producers post after letting go of the lock that guards what they added: woken
// under it, the worker would block on it at once and hand the core straight back.
class WakeSignal {
  public:
    enum Topic : unsigned {
        kState = 1u << 0,        // play state, stop, sound or seek request
        kInput = 1u << 1,        // bytes entered the source buffer
        kFrames = 1u << 2,       // a packet entered the frame buffer
        kFrameSpace = 1u << 3,   // the play loop took a packet out
        kRender = 1u << 4,       // a picture entered the render queue
        kRenderSpace = 1u << 5,  // the render step took a picture out
        kSourceSpace = 1u << 6,  // the parser took bytes out of the source buffer
        kRecord = 1u << 7,       // a record block is ready, or recording ended
        kStep = 1u << 8,         // a single-step request
        kAudioSpace = 1u << 9,   // the sound took frames off the audio queue
    };

    void Post(unsigned topics) {
        bool wake;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_pending |= topics;
            wake = (m_waiting & topics) != 0;
        }
        // A worker woken for a topic it is not waiting for would only look and sleep
        // again: with hundreds of ports those wake-ups cost more than the work.
        if (wake)
            m_cv.notify_all();
    }

    // Waits until one of the topics (a state change always counts) is pending, and
    // takes the pending ones it asked for. A negative timeout waits for a post only.
    // Returns the topics taken; 0 when the timeout passed first.
    unsigned Wait(unsigned topics, long timeoutMs = -1) {
        topics |= kState;
        std::unique_lock<std::mutex> lock(m_mutex);
        const auto posted = [&] { return (m_pending & topics) != 0; };
        ++m_waiters;
        m_waiting |= topics;
        bool woken = true;
        if (timeoutMs < 0)
            m_cv.wait(lock, posted);
        else
            woken = m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), posted);
        // With another waiter still there the mask may name more than is waited for:
        // that costs a look, never a missed post.
        if (--m_waiters == 0)
            m_waiting = 0;
        if (!woken)
            return 0;
        const unsigned taken = m_pending & topics;
        m_pending &= ~taken;
        return taken;
    }

    // Sleeps for the time unless the state changes first; true when it did.
    bool Sleep(long ms) { return ms > 0 && Wait(kState, ms) != 0; }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    // guarded by m_mutex
    unsigned m_pending = 0;
    // What the threads in Wait wait for, and how many there are.
    unsigned m_waiting = 0;
    int m_waiters = 0;
};

}  // namespace qx
