#include "session/PositionIndex.h"

void PositionIndex::NoteNewestInput(int64_t pts) {
    CAutoLock lock(&m_lock);
    m_newestInput = pts;
}

void PositionIndex::NoteLastRendered(int64_t pts) {
    CAutoLock lock(&m_lock);
    m_lastRendered = pts;
}

int64_t PositionIndex::NewestInput() {
    CAutoLock lock(&m_lock);
    return m_newestInput;
}

int64_t PositionIndex::LastRendered() {
    CAutoLock lock(&m_lock);
    return m_lastRendered;
}

void PositionIndex::AddKey(int64_t pts, int64_t position) {
    CAutoLock lock(&m_lock);
    m_keys[pts] = position;
}

void PositionIndex::Remove(int64_t pts) {
    CAutoLock lock(&m_lock);
    m_keys.erase(pts);
}

void PositionIndex::DropBefore(int64_t position) {
    CAutoLock lock(&m_lock);
    for (auto it = m_keys.begin(); it != m_keys.end();) {
        if (it->second < position) {
            it = m_keys.erase(it);
        } else {
            ++it;
        }
    }
}

std::optional<PositionIndex::Key> PositionIndex::Oldest() {
    CAutoLock lock(&m_lock);
    if (m_keys.empty())
        return std::nullopt;
    return Key{m_keys.begin()->first, m_keys.begin()->second};
}

size_t PositionIndex::KeyCount() {
    CAutoLock lock(&m_lock);
    return m_keys.size();
}

void PositionIndex::Clear() {
    CAutoLock lock(&m_lock);
    m_keys.clear();
    m_newestInput = 0;
    m_lastRendered = 0;
}
