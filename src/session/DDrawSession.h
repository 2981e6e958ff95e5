#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "platform/CritSec.h"
#include "session/AudioCirQueue.h"
#include "session/ByteQueue.h"
#include "session/DecodedFrame.h"
#include "session/PositionIndex.h"
#include "stream/PacketFormat.h"

namespace qx {
constexpr int kStateStop = -19;
constexpr int kStatePause = -18;
constexpr int kStateStep = -17;
constexpr int kStateBack = -20;
constexpr int kStateNormal = 1;
constexpr int kDefaultCacheTimeMs = 500;
constexpr int kLiveAudioQueue = 12;
constexpr int kFileAudioQueue = 1000;
}  // namespace qx

// The playback of one port: its buffers, queues, clocks and bookkeeping. Owned by
// the port table through shared ownership, so that an export still working on a
// session keeps it alive after the port has been freed.
class DDrawSession {
  public:
    DDrawSession();
    ~DDrawSession();
    DDrawSession(const DDrawSession&) = delete;
    DDrawSession& operator=(const DDrawSession&) = delete;

    void SetSessionID(int id);
    int SessionId() const { return m_sessionId; }
    // ",sid=<port>": appended to the numbered log lines.
    std::string Description() const;

    // Appends a pushed chunk to the source buffer. 1 taken, 0 refused (the host is
    // expected to offer the same bytes again). Host thread or file reader.
    int InputData(const unsigned char* data, int length);

    // Empties every buffer of the session.
    void ResetBuffers();
    // Drops every queued picture and restarts live caching and clocks.
    void EmptyRenderQueue();

    int PlayState() const { return m_playState.load(); }
    // Ends playing: the session goes back to the stopped state and refuses input.
    void Stop();
    // Live modes (0, 3) take only normal play and stop; leaving or entering the back
    // state empties the buffers.
    void SetPlayState(int state);
    int OpenMode() const { return m_openMode.load(); }
    // Mode 0..3; false (mode unchanged) otherwise. Mode 1 gets the large audio queue.
    bool SetOpenMode(int mode);

    // --- inspection for the exports and tests ---
    int SourceFill();
    bool IsCaching() const { return m_caching.load(); }
    void SetCacheTime(int ms) { m_cacheTime.store(ms); }
    int CacheTime() const { return m_cacheTime.load(); }
    void SetEndOfInput() { m_endOfInput.store(true); }
    AudioCirQueue& AudioQueue() { return *m_AudioCirQueue; }
    PositionIndex& Positions() { return m_positions; }
    int64_t LastVideoIdx() const { return m_lastVideoIdx.load(); }
    int64_t LastInputPts();
    int RenderQueueSize();

  private:
    // Bookkeeping of a live chunk's first header: continuity, caching, last pts.
    // Called under m_srcLock, only for chunks that will be taken.
    void NoteLiveHeader(const H264_PARAM& header);
    // A video header whose idx does not follow the last one pushed.
    bool IsVideoGap(const H264_PARAM& header) const;

    // Immutable after construction.
    int64_t m_frequency;
    std::atomic<bool> m_initialised{false};

    int m_sessionId = -1;
    std::atomic<int> m_playState{qx::kStateStop};
    std::atomic<int> m_openMode{0};
    std::atomic<int> m_cacheTime{qx::kDefaultCacheTimeMs};
    std::atomic<bool> m_endOfInput{false};
    std::atomic<int> m_inputFlag{1};
    std::atomic<bool> m_resync{false};
    std::atomic<int> m_stepCount{0};

    // guarded by m_stateLock
    CCritSec m_stateLock;
    int64_t m_playClockStart = 0;
    int64_t m_savedPlayedTime = 0;

    // guarded by m_playTimeLock
    CCritSec m_playTimeLock;
    int64_t m_nPlayTm = 0;

    // guarded by m_srcLock
    CCritSec m_srcLock;
    ByteQueue m_srcBuf{qx::kStreamBufferSize};

    // guarded by m_frameLock
    CCritSec m_frameLock;
    ByteQueue m_frameBuf{qx::kStreamBufferSize};
    int m_FrameBuffCount = 0;

    // Parser thread only.
    std::unique_ptr<unsigned char[]> m_packetBuf;
    // Play-video thread only.
    H264_PARAM m_curVideoHeader;
    std::unique_ptr<unsigned char[]> m_curPayload;

    // guarded by m_audioStageLock
    CCritSec m_audioStageLock;
    FRAME_BUF m_curAudio;
    FRAME_BUF m_audioCarry;

    std::unique_ptr<AudioCirQueue> m_AudioCirQueue;
    PositionIndex m_positions;

    // Live caching and continuity; written by the input stage under m_srcLock, read
    // by the render thread.
    std::atomic<bool> m_caching{true};
    std::atomic<int64_t> m_firstVideoPts{-1};
    std::atomic<int64_t> m_firstAudioPts{-1};
    std::atomic<int64_t> m_lastVideoIdx{-1};
    std::atomic<uint32_t> m_firstInputTick{0};

    // guarded by m_lastInputPtsLock
    CCritSec m_lastInputPtsLock;
    int64_t m_lastInputPts = -1;

    // guarded by m_renderQueueLock
    CCritSec m_renderQueueLock;
    std::list<DECODED_FRAME> m_renderQueue;

    // Counters shared by the workers.
    std::atomic<int64_t> m_consumedBytes{0};
    std::atomic<int64_t> m_decodedPictures{0};
    std::atomic<int64_t> m_deliveredAudioFrames{0};
    std::atomic<bool> m_endNotified{false};
    std::atomic<int> m_nNotDataCnt{0};
    std::atomic<bool> m_firstRender{true};
    std::atomic<bool> m_audioStart{true};

    // File-mode clock bookkeeping, guarded by m_curPtsLock.
    CCritSec m_curPtsLock;
    int64_t m_lastPts = 0;
    int64_t m_curFrameTime = 0;
    int64_t m_audioRefTime = 0;
};
