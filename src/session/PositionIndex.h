#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "platform/CritSec.h"

// Where the buffered key packets of a live stream start, by pts, so that the latency
// control can cut the source buffer back to one. Positions are absolute stream
// offsets of the source buffer (see ByteQueue). Internally locked; the lock may be
// taken inside the source-buffer lock, never the other way round.
class PositionIndex {
  public:
    struct Key {
        int64_t pts;
        int64_t position;
    };

    void NoteNewestInput(int64_t pts);
    void NoteLastRendered(int64_t pts);
    int64_t NewestInput();
    int64_t LastRendered();
    // Adds (or replaces) the key entry for pts.
    void AddKey(int64_t pts, int64_t position);
    // Drops the entry of a packet that has left the buffer or turned out unusable.
    void Remove(int64_t pts);
    // Drops every entry whose packet starts before position.
    void DropBefore(int64_t position);
    std::optional<Key> Oldest();
    size_t KeyCount();
    // Empties the map and sets both pts to 0.
    void Clear();

  private:
    CCritSec m_lock;
    // guarded by m_lock
    std::map<int64_t, int64_t> m_keys;
    int64_t m_newestInput = 0;
    int64_t m_lastRendered = 0;
};
