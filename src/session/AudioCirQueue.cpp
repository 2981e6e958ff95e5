#include "session/AudioCirQueue.h"

bool AudioCirQueue::Initialise(int capacity) {
    if (capacity < 1)
        capacity = 1;
    CAutoLock lock(&m_lock);
    m_read = m_write = m_count = 0;
    m_elements.reset(new FRAME_BUF[static_cast<size_t>(capacity)]);
    m_capacity = capacity;
    m_ready = true;
    return true;
}

void AudioCirQueue::Clear() {
    CAutoLock lock(&m_lock);
    m_read = m_write = m_count = 0;
}

int AudioCirQueue::Count() {
    CAutoLock lock(&m_lock);
    return m_count;
}

int AudioCirQueue::Capacity() {
    CAutoLock lock(&m_lock);
    return m_capacity;
}

bool AudioCirQueue::IsEmpty() {
    return Count() == 0;
}

bool AudioCirQueue::IsFull() {
    CAutoLock lock(&m_lock);
    return m_count == m_capacity;
}

bool AudioCirQueue::Push(const FRAME_BUF& frame) {
    CAutoLock lock(&m_lock);
    if (!m_ready || m_count == m_capacity)
        return false;
    m_elements[m_write] = frame;
    ++m_count;
    m_write = (m_write + 1) % m_capacity;
    return true;
}

bool AudioCirQueue::Pop(FRAME_BUF* frame) {
    CAutoLock lock(&m_lock);
    if (!m_ready || m_count == 0)
        return false;
    if (frame)
        *frame = m_elements[m_read];
    --m_count;
    m_read = (m_read + 1) % m_capacity;
    return true;
}

bool AudioCirQueue::DropOldest() {
    return Pop(nullptr);
}

bool AudioCirQueue::IsReady() {
    CAutoLock lock(&m_lock);
    return m_ready;
}
