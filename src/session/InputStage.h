#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>

#include "platform/CritSec.h"
#include "session/ByteQueue.h"
#include "session/PortStatus.h"
#include "session/PositionIndex.h"
#include "stream/PacketFormat.h"

// Where a port's bytes come in: the source buffer that the host (or the file
// reader) appends to and the parser cuts packets out of, the index of buffered key
// packets with the latency control built on it, live caching and the continuity of
// pushed video, and the end of input.
class InputStage {
  public:
    InputStage(PortStatus& status, SessionSignals& signals);

    // Called while the input lock is held, when pushed live video skips an idx: the
    // rest of the port empties too. The handler must not take the input lock.
    void SetGapHandler(std::function<void()> handler) { m_onGap = std::move(handler); }

    // Appends a chunk. 1 taken, 0 refused (the host is expected to offer the same
    // bytes again). Host thread or file reader. The parser thread is woken for it,
    // unless parseHere is given and a live chunk was taken: then *parseHere is set and
    // the caller parses it on its own thread instead.
    int InputData(const unsigned char* data, int length, bool* parseHere = nullptr);
    // Waits up to timeoutMs (forever when negative) until a chunk of length bytes
    // would fit, or giveUp() turns true; true when it fits. Woken by the parser, by
    // resets and by WakeWaiters.
    bool WaitForRoom(int length, long timeoutMs, const std::function<bool()>& giveUp);
    void WakeWaiters();
    // True when a chunk of length bytes would fit now.
    bool Fits(int length);

    // Parser thread: cuts the next whole packet into packet (kStreamBufferSize bytes)
    // by the rule of the open mode; its length, or 0 when none is ready. *moved tells
    // whether bytes left the buffer (a packet, or bytes that could never be one);
    // *epoch is the packet's epoch.
    int Extract(unsigned char* packet, bool* moved, uint64_t* epoch);
    // Counts the emptyings of the buffer: a packet cut out before the last one (a
    // seek, a discontinuity) belongs to what was thrown away.
    uint64_t Epoch() const { return m_epoch.load(); }
    // Live mode: the absolute source position of the key packet to cut back to, or 0.
    int64_t LatencyControl();
    // Drops every byte before the absolute position; false when it is not buffered.
    bool DropBefore(int64_t position);

    // Source buffer and position index emptied.
    void Reset();
    void Reset_locked();
    // The source buffer alone (play start).
    void ClearSource();
    // Live caching starts again (a discontinuity). Caller holds the input lock.
    void RestartCaching_locked();

    void NoteLastRendered(int64_t pts) { m_positions.NoteLastRendered(pts); }
    PositionIndex& Positions() { return m_positions; }
    int Fill();
    int64_t LastInputPts();
    int64_t LastVideoIdx() const { return m_lastVideoIdx.load(); }
    bool IsCaching() const { return m_caching.load(); }
    void SetCacheTime(int ms) { m_cacheTime.store(ms); }
    int CacheTime() const { return m_cacheTime.load(); }
    // The host gives no more (and any more is refused), or takes that back. A cache
    // that can never fill any further is not waited for.
    void SetEndOfInput(bool end) {
        m_endOfInput.store(end);
        SetSourceEnded(end);
        if (end)
            StopCaching();
    }
    bool EndOfInput() const { return m_endOfInput.load(); }
    // Nothing more will come (the end of the file, or the host's end of input): the
    // last packet is cut out without the marker of a next one. Emptying clears it.
    void SetSourceEnded(bool ended) {
        m_sourceEnded.store(ended);
        m_signals.parser.Post(qx::WakeSignal::kInput);
    }
    bool SourceEnded() const { return m_sourceEnded.load(); }
    int Capacity();

  private:
    // Taken; refused for want of room, which the parser must hear of; or lost.
    enum class Appended { kTaken, kRefused, kFailed };
    Appended Append_locked(const unsigned char* data, int length, int mode);
    int ExtractByLength_locked(unsigned char* packet);
    int ExtractByMarkers_locked(unsigned char* packet);
    // A buffer too full for the next chunk that cannot become a packet either would
    // refuse input for good: such bytes go.
    void UnblockRefused_locked();
    // Drops source bytes that can never become a packet, keeping a possible partial
    // marker at the end when keepFrom is negative.
    void DiscardUnusable_locked(int keepFrom, const char* why);
    int ExtractLast_locked(unsigned char* packet);
    // Room for the chunk, growing the buffer for a packet it can never hold.
    bool MakeRoom_locked(const unsigned char* data, int length);
    // Live mode: each packet that has arrived whole since the last look, judged for
    // continuity, caching and the key-packet index, however the host cut the bytes.
    void NoteArrivals_locked();
    void NotePacket_locked(const H264_PARAM& header, const unsigned char* packet, int64_t position);
    bool IsVideoGap_locked(const H264_PARAM& header) const;
    void Consumed_locked();
    void StopCaching();

    PortStatus& m_status;
    SessionSignals& m_signals;
    std::function<void()> m_onGap;

    CCritSec m_lock;
    std::condition_variable_any m_room;
    // guarded by m_lock
    ByteQueue m_srcBuf{qx::kStreamBufferSize};
    int64_t m_lastInputPts = -1;
    // Live mode: where the search for the next packet to judge goes on, and where the
    // last one judged says it ends (-1 once that is settled); absolute positions.
    int64_t m_walkPosition = 0;
    int64_t m_walkClaimedEnd = -1;
    // Length of the last chunk refused for want of room; 0 once one is taken.
    int m_refusedLength = 0;
    // Internally locked; its lock is taken inside m_lock or alone.
    PositionIndex m_positions;

    // Written under m_lock, read by the render thread and the exports.
    std::atomic<bool> m_caching{true};
    std::atomic<int64_t> m_firstVideoPts{-1};
    std::atomic<int64_t> m_firstAudioPts{-1};
    std::atomic<int64_t> m_lastVideoIdx{-1};
    std::atomic<uint32_t> m_firstInputTick{0};
    // Written by the host.
    std::atomic<int> m_cacheTime{qx::kDefaultCacheTimeMs};
    std::atomic<bool> m_endOfInput{false};
    std::atomic<bool> m_sourceEnded{false};
    // Raised under m_lock.
    std::atomic<uint64_t> m_epoch{0};
};
