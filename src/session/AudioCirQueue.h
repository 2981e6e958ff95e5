#pragma once

#include <memory>

#include "platform/CritSec.h"
#include "stream/PacketFormat.h"

// Fixed-capacity ring of audio frames; internally locked, so any thread may use it.
class AudioCirQueue {
  public:
    AudioCirQueue() = default;
    AudioCirQueue(const AudioCirQueue&) = delete;
    AudioCirQueue& operator=(const AudioCirQueue&) = delete;

    // Empties the ring and gives it room for capacity frames (at least 1).
    bool Initialise(int capacity);
    void Clear();
    int Count();
    int Capacity();
    bool IsEmpty();
    bool IsFull();
    bool Push(const FRAME_BUF& frame);
    bool Pop(FRAME_BUF* frame);
    // Drops the oldest frame; false when empty.
    bool DropOldest();
    bool IsReady();

  private:
    CCritSec m_lock;
    // guarded by m_lock
    std::unique_ptr<FRAME_BUF[]> m_elements;
    int m_capacity = 0;
    int m_read = 0;
    int m_write = 0;
    int m_count = 0;
    bool m_ready = false;
};
