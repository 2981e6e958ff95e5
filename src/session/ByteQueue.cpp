#include "session/ByteQueue.h"

#include <cstring>
#include <new>

ByteQueue::ByteQueue(int capacity)
    : m_data(new unsigned char[static_cast<size_t>(capacity)]), m_capacity(capacity) {}

bool ByteQueue::Grow(int capacity) {
    if (capacity <= m_capacity)
        return true;
    std::unique_ptr<unsigned char[]> data(
        new (std::nothrow) unsigned char[static_cast<size_t>(capacity)]);
    if (!data)
        return false;
    std::memcpy(data.get(), m_data.get() + m_begin, static_cast<size_t>(Size()));
    m_end -= m_begin;
    m_begin = 0;
    m_data = std::move(data);
    m_capacity = capacity;
    return true;
}

bool ByteQueue::Append(const unsigned char* data, int n) {
    if (n < 0 || (n > 0 && data == nullptr))
        return false;
    if (static_cast<int64_t>(Size()) + n > m_capacity)
        return false;
    if (static_cast<int64_t>(m_end) + n > m_capacity) {
        std::memmove(m_data.get(), m_data.get() + m_begin, static_cast<size_t>(Size()));
        m_end -= m_begin;
        m_begin = 0;
    }
    if (n > 0)
        std::memcpy(m_data.get() + m_end, data, static_cast<size_t>(n));
    m_end += n;
    m_endPosition += n;
    return true;
}

int ByteQueue::Consume(int n) {
    if (n <= 0)
        return 0;
    if (n > Size())
        n = Size();
    m_begin += n;
    if (m_begin == m_end)
        m_begin = m_end = 0;
    return n;
}

void ByteQueue::Clear() {
    // Positions only ever grow, so a position taken before the clear never names a
    // byte appended after it.
    m_begin = m_end = 0;
}
