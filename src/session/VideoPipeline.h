#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "decode/H264Decode.h"
#include "platform/CritSec.h"
#include "session/AudioPath.h"
#include "session/ByteQueue.h"
#include "session/HostCallbacks.h"
#include "session/PlayClock.h"
#include "session/PortStatus.h"
#include "session/Presenter.h"
#include "session/Recorder.h"
#include "session/Watermark.h"
#include "stream/NalUnits.h"

// The video of one port: the frame buffer of whole packets that the parser fills,
// and the play loop that takes them one by one, learns the picture size from the
// parameter sets, decodes, and hands the picture on (live mode) or shows and paces
// it itself by the play state (the other modes).
class VideoPipeline {
  public:
    VideoPipeline(PortStatus& status, SessionSignals& signals, PlayClock& clock,
                  Presenter& presenter, AudioPath& audio, Recorder& recorder,
                  HostCallbacks& callbacks, Watermark& watermark);
    ~VideoPipeline();

    // Whoever parses: queues a whole packet, waiting while the frame buffer has no
    // room (in live mode it holds one packet at a time). After a seek, packets
    // before the next key picture are dropped, and so is one that stale() says was
    // cut out before the buffers were last emptied. Unless mayWait, false instead of
    // a wait: the packet stays with the caller.
    bool QueuePacket(const unsigned char* packet, int length, bool startsKey,
                     const std::function<bool()>& stale, bool mayWait);
    void ClearFrames();
    int FrameFill();

    // Play-video thread: the counters of a new run.
    void BeginRun();
    // One pass of the play loop; false when the frame buffer held no whole packet.
    bool PlayStep();
    // After an empty pass: how long the thread may wait for a packet (forever when
    // negative) before the end of the data is to be told.
    long IdleWaitMs();
    // The thread found nothing for waitedMs: counted, and the end told once.
    void NoteNoData(int waitedMs);

    // Nothing more will come (the end of a file, or of what the host gives): once the
    // frame buffer is empty the decoder gives up the pictures it still holds.
    void EndOfStream();

    // Counters that an emptying of the buffers clears, and those of a new play.
    void ResetCounters();
    void PrepareForPlay();
    void AddStep() { ++m_stepCount; }
    void SetPlayedFrameNumber(int frame);
    int PlayedFrameNumber();
    int Width() const { return m_width.load(); }
    int Height() const { return m_height.load(); }

    // Picture size from an H.264 SPS unit (start code first).
    static bool ParseSPSNAL(const unsigned char* payload, int length, int* width, int* height);

  private:
    enum class Taken { kNone, kSkipped, kPicture };
    // The next packet out of the frame buffer into the current one, with the SEI
    // split, the record push and the counters; its first NAL type in *type.
    Taken TakePacket(int* type, int* state);
    Taken TakeFront_locked(int* type, int* state);
    Taken TakePacket_locked(const H264_PARAM& header, int64_t packetLength, int* type);
    // A leading SEI in front of the first parameter set is cut off the packet, which
    // is then played from its parameter set in the next pass.
    bool SplitLeadingSei_locked(const H264_PARAM& header, int type);
    // New picture objects or decoder for a new size or codec; false ends the pass.
    bool ApplyParameterSet();
    bool MakeDecoder(int kind, int width, int height);
    void DeletePictureObjects();
    // Decodes the current packet and hands on every picture it completes.
    void Decode(int type, int state);
    // The decoder's current picture to the render thread (live) or onto the screen.
    void HandOn(bool keyPacket, int state);
    void ShowFilePicture(bool keyPacket, int state);
    // The pictures the decoder still holds, at the end of the stream.
    void DrainDecoder();
    // File-mode clocks for the current picture; its display delay in ms.
    int FileModeTiming(int state);
    void PaceFilePicture(int state, int dts);
    void PaceNormal(int dts);
    int64_t NextFrameStart();
    void PaceFast(int state, int dts);
    void PaceSlow(int state, int dts);
    void WaitWhilePaused();
    void WaitForStep();
    bool CountingEndOfData();

    PortStatus& m_status;
    SessionSignals& m_signals;
    PlayClock& m_clock;
    Presenter& m_presenter;
    AudioPath& m_audio;
    Recorder& m_recorder;
    HostCallbacks& m_callbacks;
    Watermark& m_watermark;

    CCritSec m_frameLock;
    // guarded by m_frameLock
    ByteQueue m_frameBuf{qx::kStreamBufferSize};
    int m_FrameBuffCount = 0;

    // Play-video thread only.
    H264_PARAM m_curVideoHeader;
    std::vector<unsigned char> m_curPayload;
    qx::AccessUnit m_unit;
    // The header of the picture being shown: the packet's, with the picture's pts.
    H264_PARAM m_pictureHeader;
    std::unique_ptr<H264Decode> mVideoDecodec;
    bool m_keyParamSeen = false;
    unsigned char m_vpsCopy[256];
    int m_vpsLength = 0;
    int64_t m_frameStart = 0;
    // When the next step is due by the last picture's distance (counter ticks; 0: not
    // paced), so that the time spent between steps does not add up picture by picture.
    int64_t m_nextFrameStart = 0;
    int64_t m_videoFrames = 0;
    int m_nonIdrCount = 0;
    int m_gopLength = 0;

    // Written by the play-video thread, read by the host.
    std::atomic<int> m_width{0};
    std::atomic<int> m_height{0};
    // Single-step requests not yet served: the host adds, the play loop takes.
    std::atomic<int> m_stepCount{0};
    // Cleared by resets and play, set once the end of the data was told.
    std::atomic<bool> m_endNotified{false};
    std::atomic<bool> m_drainRequested{false};

    CCritSec m_frameNumberLock;
    int m_playedFrameNumber = 0;  // guarded by m_frameNumberLock
};
