#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/CStreamAudio.h"
#include "audio/CStreamAudioHandler.h"
#include "decode/FrameDescription.h"
#include "decode/H264Decode.h"
#include "decode/VoiceDecode.h"
#include "platform/CritSec.h"
#include "platform/WakeBoard.h"
#include "qxplaylib.h"
#include "render/video_render.h"
#include "session/AudioCirQueue.h"
#include "session/ByteQueue.h"
#include "session/DecodedFrame.h"
#include "session/PositionIndex.h"
#include "stream/DesCipher.h"
#include "stream/PacketFormat.h"
#include "stream/WatermarkSei.h"

namespace qx {
constexpr int kStateStop = -19;
constexpr int kStatePause = -18;
constexpr int kStateStep = -17;
constexpr int kStateBack = -20;
constexpr int kStateNormal = 1;
constexpr int kRenderQueueDepth = 3;
constexpr int kDefaultCacheTimeMs = 500;
constexpr int kLiveAudioQueue = 12;
constexpr int kFileAudioQueue = 1000;
constexpr int kRectangleSlots = 5;
// Slot 4 can be set and cleared but is never drawn.
constexpr int kDrawnRectangleSlots = 4;
constexpr int kWatermarkRecordSize = 92;
constexpr int kWatermarkTextOffset = 40;
constexpr int kWatermarkTextSize = 50;
}  // namespace qx

// The playback of one port: its buffers, queues, clocks, decoder, renderer and
// worker threads. Owned by the port table through shared ownership; every worker
// holds a reference too, so a session freed from a host callback that runs on one of
// its own workers lives until that worker has returned.
class DDrawSession : public CStreamAudioHandler, public std::enable_shared_from_this<DDrawSession> {
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
    // Starts the parser, play-video and render threads that are not running. 1, or 0
    // for a session that was not initialised.
    int Play();
    // Ends the workers and waits for them; the session goes back to the stopped state
    // and refuses input. A worker that calls it (from a host callback) is not waited
    // for: it ends by itself once the callback returns.
    void Stop();
    bool HasWorkers();
    // Live modes (0, 3) take only normal play and stop; leaving or entering the back
    // state empties the buffers.
    void SetPlayState(int state);
    void Pause(bool pause);
    int Fast();
    int Slow();
    int Back();

    void SetWindow(QxWindow window) { m_window.store(window); }
    QxWindow Window() const { return m_window.load(); }
    void SetDecodeMessageCallback(QxMessageCallback callback, void* user);
    void SetFileName(const std::string& name);
    std::string FileName();
    // A seek in a file the library reads itself.
    void RequestFileSeek(int seconds) { m_seekRequest.store(seconds); }
    // A seek the host performs on its stream: video waits for a key packet afterwards.
    void RequestSeek(int seconds);
    void SetPlayTimeOffset(int64_t ms);
    int64_t PlayTimeOffset();
    void SetFileSeconds(int seconds) { m_fileSeconds.store(seconds); }
    int64_t FileSize() const { return m_fileSize.load(); }
    int64_t FileStartSecond() const { return m_fileStartSecond.load(); }
    int FileSeconds() const { return m_fileSeconds.load(); }
    int SeekRequest() const { return m_seekRequest.load(); }
    int FrameRate() const { return m_frameRate.load(); }
    void SetPlayedFrameNumber(int frame);
    int PlayedFrameNumber();
    int Width() const { return m_width.load(); }
    // Picture size from an H.264 SPS unit (start code first): 16 x the macroblocks,
    // less the bottom crop.
    static bool ParseSPSNAL(const unsigned char* payload, int length, int* width, int* height);
    int Height() const { return m_height.load(); }
    int OpenMode() const { return m_openMode.load(); }
    // Mode 0..3; false (mode unchanged) otherwise. Mode 1 gets the large audio queue.
    bool SetOpenMode(int mode);

    // --- host settings and callbacks ---

    // The raw values of QxPlay_SetColor and the adjustment derived from them.
    struct ColorSettings {
        int32_t region = 0;
        int32_t brightness = 64;
        int32_t contrast = 64;
        int32_t saturation = 64;
        int32_t hue = 64;
    };
    struct ColorAdjust {
        int brightness = 0;
        int contrast = 128;
        int saturation = 64;
        int hue = 0;
    };
    void SetColor(const ColorSettings& raw, const ColorAdjust& adjust);
    ColorSettings Color();
    ColorAdjust ColorAdjustment();
    void SetDisplayCallback(QxDisplayCallback callback);
    void SetDecodeCallback(QxDecodeCallback callback);
    // Function and user value are stored and read together, never half of a pair.
    void SetExceptionCallback(QxMessageCallback callback, void* user);
    void SetFileEndCallback(QxFileEndCallback callback, void* user);
    // Played time in ms: the clock once a picture was decoded, else the seek offset.
    int64_t PlayedTimeMs();

    // --- overlays, snapshots and the watermark ---

    struct Rectangle {
        int32_t x = 0;
        int32_t y = 0;
        int32_t height = 0;
        int32_t width = 0;
        // The sample values for the Y, V and U planes.
        unsigned char luma = 0;
        unsigned char cr = 0;
        unsigned char cb = 0;
        bool enabled = false;
    };
    struct Line {
        int32_t x0, y0, x1, y1;
        // Y in bits 16-23, the V-plane value in 8-15, the U-plane value in 0-7.
        uint32_t colour;
        int32_t kind;
    };
    // False for a slot outside 0..4.
    bool SetRectangle(int slot, const Rectangle& rectangle);
    bool RemoveRectangle(int slot);
    std::optional<Rectangle> RectangleAt(int slot);
    void SetLine(int32_t key, const Line& line);
    void RemoveLine(int32_t key);
    std::map<int32_t, Line> Lines();
    void SetPlayMode(int mode);
    int PlayMode();
    // Bytes the play loop has taken out of the frame buffer since its last reset.
    int64_t PlayedBytes() const { return m_consumedBytes.load(); }
    // The 50 text bytes of the last watermark record.
    void WatermarkText(char text[qx::kWatermarkTextSize]);
    void SetWatermarkCallback(QxWaterMaskCallback callback, void* user);
    // Asks for the next displayed picture as a BMP (bmp) or JPEG file; a later request
    // before that picture replaces the earlier one.
    void RequestCapture(const std::string& path, bool bmp);
    // The current picture as a BMP or JPEG image; false without a picture or when it
    // does not fit.
    bool CurrentPictureAsBmp(unsigned char* destination, uint32_t capacity, uint32_t* size);
    bool CurrentPictureAsJpeg(unsigned char* destination, uint32_t capacity, uint32_t* size);
    bool PictureShown() const { return m_pictureShown.load(); }

    // Contiguous copies of a picture: YV12 (Y, then V, then U, rows packed) and
    // bottom-up RGB24. False after a fault, which is logged.
    static bool FillYv12(unsigned char* destination, const unsigned char* y, const unsigned char* u,
                         const unsigned char* v, int width, int height);
    static bool FillRgb24(unsigned char* destination, const unsigned char* y,
                          const unsigned char* u, const unsigned char* v, int width, int height);

    // --- sound ---

    // 1, or 0 when no player could be made. Sound starts with the next audio packet.
    int PlaySound();
    // Closes the player (its feeding thread has ended when this returns). 1.
    int StopSound();
    bool SoundEnabled() const { return m_soundEnabled.load(); }
    // -10000..0, hundredths of a decibel; false without a player.
    bool SetVolume(int32_t volume);
    // The export's scale: volume + 10000 while open, 10000 while not yet open, 0 off.
    uint16_t VolumeForExport();
    // What the player calls for sound: decoded frames off the audio queue, silence
    // while paused, none in trick play (the clock is kept level with the picture).
    void OnAudioData(unsigned char* buffer, int32_t bytes) override;
    // Cuts the current audio payload into 160-byte frames and queues them.
    void DecodeVioce();
    // How far the picture is ahead of the sound being heard (ms), in the file modes.
    int64_t AudioVideoOffsetMs();

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
    int FrameFill();
    bool KeyFrameWait() const { return m_keyFrameWait.load(); }
    int64_t DecodedPictures() const { return m_decodedPictures.load(); }

    // --- worker steps (one pass each), run by the session's own threads ---
    // Cuts one packet out of the source buffer and queues it; false when none was ready.
    bool ParseStep();
    void PlayStep();
    void RenderStep();
    // Absolute source-buffer position of the key packet to cut back to, or 0.
    int64_t LatencyControl();
    // Renders the current picture again.
    void Redraw();
    // Sleeps unless the state changes first (stop, speed, pause).
    void SleepMs(long ms) { m_wake.Sleep(ms); }

    enum Worker { kParser, kPlayVideo, kRender, kFileReader, kRecord, kWorkerCount };

    // --- recording ---

    // Starts writing what the port plays to the file: 1, or 0 unless it plays
    // normally. 1 at once while recording is on.
    int StartRecord(const std::string& path);
    // Ends recording after what is buffered has been written (within about 5 s). 1.
    int StopRecord();
    uint32_t RecordSize();
    bool Recording() const { return m_recording.load(); }
    // What a play path records; packet pushes shorter than a header are ignored, a
    // live port's chunks are recorded whatever their size.
    void RecordPush(const unsigned char* data, int length, bool wholeChunk = false);
    // The record thread's loop.
    void RecordLoop();

    // --- files ---

    // Plays the file set by SetFileName (open mode 2): 1, or 0 for an uninitialised or
    // playing session or a file that cannot be read (the state stays stopped).
    int PlayFile();
    // The reader's loop: the file into the session's input, seeking on request.
    void ReadFileLoop();
    // Start time, duration and frame count of the file, scanned once per file name;
    // false when they cannot be known.
    bool LoadFileInfo();
    int64_t FileFrameCount() const { return m_fileFrameCount.load(); }
    void SetFileFrameCount(int64_t frames) { m_fileFrameCount.store(frames); }
    void MarkExited(Worker worker);

  private:
    struct WorkerThread {
        std::thread thread;
        std::atomic<bool> exited{true};
    };

    // Extraction by the header's length (mode 0) and by marker pairs (modes 1..3):
    // the packet's length in m_packetBuf, or 0.
    int ExtractByLength();
    int ExtractByMarkers();
    // Drops source bytes that can never become a packet, keeping a possible partial
    // marker at the end. Caller holds m_srcLock.
    void DiscardUnusable(int keepFrom, const char* why);
    void VideoStep(const H264_PARAM& header, int packetLength);
    void AudioStep(const H264_PARAM& header, int packetLength);
    // Queues one frame by the full-queue policy of the play state; false when the
    // rest of the payload is not to be queued.
    bool QueueAudioFrame(const FRAME_BUF& frame);
    // Trick play: frames taken silently so the audio clock follows the picture.
    void AccountAudioFrames(int state);
    void AccountAudioFrame(FRAME_BUF& frame);
    // Modes 1 and 2 record sound as it is passed on, one packet a frame.
    void RecordAudioFrame(const FRAME_BUF& frame);
    void AdvanceAudioClock(int64_t pts, bool resync, bool startIfUnset);
    // Decodes one frame in place into 16-bit PCM; false when it is to be skipped.
    bool DecodeAudioFrame(FRAME_BUF& frame, int* length);
    // Lip sync of the file modes: the play loop's sleep moved a frame interval
    // towards the audio clock.
    int64_t LipSyncSleep(int64_t sleep);
    std::shared_ptr<CStreamAudio> Player();
    void LatencyTrim();

    bool CreatePictureObjects(int width, int height, int kind);
    void DeletePictureObjects();
    bool MakeDecoder(int kind, int width, int height);
    void RenderCurrent();
    void PaceFilePicture(int state, int dts);
    void NotifyEndOfData();
    // File-mode clocks for the current picture; its display delay in ms.
    int FileModeTiming(int state);
    void DeliverLivePicture(const H264_PARAM& header);
    void TakePicture();
    void RestartPlayClock();
    void UpdatePlayedTime();

    // Frame delivery, on the thread that shows the picture. Caller holds none of the
    // session's locks.
    void DisplayHook();
    void ColorAdjustHook();
    void DecodeHook();
    void DrawOverlays();
    // Deciphers a watermark record at the front of the current payload (mode 1).
    void DecipherSei(const unsigned char* payload, int length);
    void WatermarkCheck();
    // The RGB buffer of the current size; null when it cannot be had. Caller holds
    // m_pictureLock.
    unsigned char* RgbBuffer();
    // The current picture into the YV12 buffer, with its size. Caller holds
    // m_pictureLock.
    bool FillYv12Copy(int* width, int* height);

    // Bookkeeping of a live chunk's first header: continuity, caching, last pts.
    // Called under m_srcLock, only for chunks that will be taken.
    void NoteLiveHeader(const H264_PARAM& header);
    // A video header whose idx does not follow the last one pushed.
    bool IsVideoGap(const H264_PARAM& header) const;
    // Counters and buffers back to a fresh start; ended workers joined.
    void PrepareForPlay();
    void StartWorker(Worker worker);
    void JoinWorker(Worker worker);

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
    std::atomic<int> m_savedState{qx::kStateNormal};
    std::atomic<QxWindow> m_window{0};
    std::atomic<bool> m_soundEnabled{false};
    std::atomic<bool> m_keyFrameWait{false};
    std::atomic<bool> m_keyFrameSeen{false};
    std::atomic<int> m_seekRequest{-1};
    std::atomic<int> m_fileSeconds{0};
    std::atomic<int64_t> m_fileSize{0};
    std::atomic<int64_t> m_fileStartSecond{0};
    std::atomic<int64_t> m_fileFrameCount{0};
    // Set before the scan, so that a failed one is not repeated (guarded by
    // m_fileNameLock, cleared with a new file name).
    bool m_fileScanned = false;
    std::atomic<int> m_frameRate{25};
    std::atomic<int> m_frameInterval{40};
    std::atomic<int> m_width{0};
    std::atomic<int> m_height{0};
    // Length of the last chunk refused for want of room; 0 once one is taken.
    std::atomic<int> m_refusedLength{0};

    qx::WakeBoard m_wake;

    // Serialises the control operations; never taken by the workers.
    CCritSec m_controlLock;
    WorkerThread m_workers[kWorkerCount];

    // guarded by m_recordLock
    CCritSec m_recordLock;
    std::string m_recordPath;
    std::vector<unsigned char> m_recordBuf;
    int m_recordFill = 0;
    int64_t m_recordDropped = 0;
    uint32_t m_recordDropLogTick = 0;
    std::atomic<bool> m_recording{false};
    // guarded by m_recordSizeLock
    CCritSec m_recordSizeLock;
    uint32_t m_recordSize = 0;

    // guarded by m_fileNameLock
    CCritSec m_fileNameLock;
    std::string m_fileName;

    // guarded by m_callbackLock
    CCritSec m_callbackLock;
    QxMessageCallback m_decodeMessage = nullptr;
    void* m_decodeMessageUser = nullptr;
    QxDisplayCallback m_displayCallback = nullptr;
    QxDecodeCallback m_decodeCallback = nullptr;
    QxMessageCallback m_exceptionCallback = nullptr;
    void* m_exceptionUser = nullptr;
    QxFileEndCallback m_fileEndCallback = nullptr;
    void* m_fileEndUser = nullptr;
    ColorSettings m_colorRaw;
    ColorAdjust m_colorAdjust;

    // guarded by m_frameNumberLock
    CCritSec m_frameNumberLock;
    int m_playedFrameNumber = 0;

    // guarded by m_stateLock
    CCritSec m_stateLock;
    int64_t m_playClockStart = 0;
    int64_t m_savedPlayedTime = 0;

    // guarded by m_playTimeLock
    CCritSec m_playTimeLock;
    int64_t m_nPlayTm = 0;
    int64_t m_lPlayTmOff = 0;
    // Live mode: microseconds of stream time shown since the first picture.
    int64_t m_liveVideoPlayed = 0;
    int64_t m_renderClockBase = 0;

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
    std::unique_ptr<H264Decode> m_decoder;
    bool m_keyParamSeen = false;
    unsigned char m_vpsCopy[256];
    int m_vpsLength = 0;
    int64_t m_frameStart = 0;
    int64_t m_videoFrames = 0;
    int m_nonIdrCount = 0;
    int m_gopLength = 0;

    // Render thread only (live mode).
    int m_renderWidth = 0;
    int m_renderHeight = 0;
    int64_t m_lastRenderPts = 0;

    // The picture on screen and what shows it; guarded by m_pictureLock. Filled by
    // the play-video thread (modes 1..3) or the render thread (mode 0).
    CCritSec m_pictureLock;
    std::unique_ptr<unsigned char[]> m_yv12;
    std::unique_ptr<unsigned char[]> m_YUVData;
    unsigned char* m_planes[3] = {nullptr, nullptr, nullptr};
    int m_strides[3] = {0, 0, 0};
    int m_pictureWidth = 0;
    int m_pictureHeight = 0;
    std::unique_ptr<video_render> m_renderer;
    std::unique_ptr<unsigned char[]> m_rgb;
    H264_DEC_FRAME m_frameInfo{};
    std::atomic<bool> m_pictureShown{false};
    // guarded by m_frameInfoLock
    CCritSec m_frameInfoLock;
    qx::FrameDescription m_frameDescription{};

    // guarded by m_overlayLock
    CCritSec m_overlayLock;
    Rectangle m_rectangles[qx::kRectangleSlots];
    std::map<int32_t, Line> m_lines;

    // guarded by m_playModeLock
    CCritSec m_playModeLock;
    int m_playMode = 0;

    // guarded by m_captureLock
    CCritSec m_captureLock;
    bool m_captureRequested = false;
    bool m_captureBmp = false;
    std::string m_captureName;

    // Play-video thread only: the deciphered record waiting for its key picture.
    const qx::DesCipher m_des{qx::kWatermarkKey};
    unsigned char m_seiInfo[qx::kSeiInfoSize] = {};
    int m_seiLength = 0;
    bool m_seiPending = false;
    // guarded by m_watermarkLock
    CCritSec m_watermarkLock;
    unsigned char m_watermark[qx::kWatermarkRecordSize] = {};
    QxWaterMaskCallback m_watermarkCallback = nullptr;
    void* m_watermarkUser = nullptr;

    // guarded by m_audioStageLock
    CCritSec m_audioStageLock;
    FRAME_BUF m_curAudio;
    FRAME_BUF m_audioCarry;

    std::unique_ptr<AudioCirQueue> m_AudioCirQueue;
    // The sound player: shared, so that a player taken away by StopSound or replaced
    // by the parser is closed only when no thread uses it any more.
    CCritSec m_playerLock;
    std::shared_ptr<CStreamAudio> m_player;
    // Serialises the sound callbacks (a replaced player and its successor).
    CCritSec m_audioOutLock;
    std::unique_ptr<VoiceDecode> mAudioDecodec;
    int64_t m_audioFrameNumber = 0;
    int64_t m_audioStartTime = 0;
    int64_t m_audioClockStart = 0;
    // Sound before this stream time (ms) is skipped when a file starts.
    int64_t m_audioSkipUntil = 0;
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
    int64_t m_lCurVPlayPts = 0;

    // The two clocks of the file modes (ms), guarded by m_clockLock.
    CCritSec m_clockLock;
    int64_t m_videoPlayed = 0;
    int64_t m_audioPlayed = 0;
};
