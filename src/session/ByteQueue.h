#pragma once

#include <cstdint>
#include <memory>

// A fixed-capacity byte buffer that is appended at the back and consumed from the
// front. Consuming only moves a read offset; the bytes are moved to the front only
// when an append would not fit behind them, so taking packets out costs no copy of
// the rest. Positions are absolute stream offsets (bytes ever appended), which stay
// valid while the front moves. Not locked: the owner guards it.
class ByteQueue {
  public:
    explicit ByteQueue(int capacity);

    int Capacity() const { return m_capacity; }
    int Size() const { return m_end - m_begin; }
    bool Empty() const { return m_end == m_begin; }
    const unsigned char* Front() const { return m_data.get() + m_begin; }
    unsigned char* MutableFront() { return m_data.get() + m_begin; }

    // Absolute stream position of the front byte, and of the next byte appended.
    int64_t FrontPosition() const { return m_endPosition - Size(); }
    int64_t EndPosition() const { return m_endPosition; }

    // Appends when the result stays within capacity; false (nothing copied) otherwise.
    bool Append(const unsigned char* data, int n);
    // Room for capacity bytes, the bytes held and their positions kept; false (nothing
    // changed) when the memory cannot be had. Never shrinks.
    bool Grow(int capacity);
    // Drops up to n bytes from the front; returns the bytes dropped.
    int Consume(int n);
    void Clear();

  private:
    std::unique_ptr<unsigned char[]> m_data;
    int m_capacity;
    int m_begin = 0;
    int m_end = 0;
    int64_t m_endPosition = 0;
};
