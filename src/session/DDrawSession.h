#pragma once

#include <memory>
#include <string>

#include "audio/CStreamAudioHandler.h"
#include "platform/CritSec.h"
#include "qxplaylib.h"
#include "session/AudioPath.h"
#include "session/FileReader.h"
#include "session/HostCallbacks.h"
#include "session/InputStage.h"
#include "session/PacketParser.h"
#include "session/PlayClock.h"
#include "session/PortStatus.h"
#include "session/Presenter.h"
#include "session/Recorder.h"
#include "session/SessionWorkers.h"
#include "session/VideoPipeline.h"
#include "session/Watermark.h"

// The playback of one port. It owns the parts that do the work (input stage, video
// pipeline, presenter, audio path, recorder, file reader, play clock), wires them,
// and is the one place where the port's play state changes and its worker threads
// start and end. Held by the port table through shared ownership; every worker
// holds a reference too (see SessionWorkers).
//
// Every operation here may be called from any host thread, and from a host
// callback on one of the port's own workers: none of them waits for a worker while
// holding a lock, and on a worker none waits for that worker.
class DDrawSession : public CStreamAudioHandler, public std::enable_shared_from_this<DDrawSession> {
  public:
    DDrawSession();
    ~DDrawSession() override;
    DDrawSession(const DDrawSession&) = delete;
    DDrawSession& operator=(const DDrawSession&) = delete;

    void SetSessionID(int id);
    int SessionId() const { return m_status.sessionId; }
    // ",sid=<port>": appended to the numbered log lines.
    std::string Description() const;

    // The parts, for the exports.
    PortStatus& Port() { return m_status; }
    InputStage& Input() { return m_input; }
    VideoPipeline& Video() { return m_video; }
    Presenter& Show() { return m_presenter; }
    AudioPath& Audio() { return m_audio; }
    Recorder& Record() { return m_recorder; }
    FileReader& File() { return m_file; }
    PlayClock& Clock() { return m_clock; }
    HostCallbacks& Callbacks() { return m_callbacks; }
    Watermark& WatermarkRecord() { return m_watermark; }

    // A pushed chunk into the input stage (and, live, into the recording). With
    // parseHere given, a live chunk taken sets it instead of waking the parser thread:
    // the caller then calls ParseHere, out of any lock.
    int InputData(const unsigned char* data, int length, bool* parseHere = nullptr);
    void ParseHere() { m_parser.ParseOnHost(); }
    // Empties every buffer of the port.
    void ResetBuffers();

    int PlayState() const { return m_status.PlayState(); }
    int OpenMode() const { return m_status.OpenMode(); }
    // Mode 0..3; false (mode unchanged) otherwise. Mode 1 gets the large audio queue.
    bool SetOpenMode(int mode);
    void SetWindow(QxWindow window) { m_status.window.store(window); }
    QxWindow Window() const { return m_status.window.load(); }

    // Starts the workers that do not run (parser, play video, render; for a file the
    // reader too): 1, or 0 when one cannot be started, when the file cannot be read
    // (PlayFile), when a file already plays (PlayFile), when called on one of the
    // port's own workers while it stops, or once the port is retired.
    int Play();
    int PlayFile();
    // Ends the workers: from a host thread it returns once every one has ended; on
    // one of the port's workers it asks them to end and returns at once.
    void Stop();
    // The port leaves the table for good: no later Play starts it again. A host thread
    // may still hold the session and call Play while it is freed or shut down.
    void Retire();
    bool HasWorkers();
    // Live modes (0, 3) take only normal play and stop; leaving or entering the back
    // state empties the buffers.
    void SetPlayState(int state);
    void Pause(bool pause);
    int Fast();
    int Slow();
    int Back();
    // A seek the host performs on its stream: video waits for a key packet afterwards.
    void RequestSeek(int seconds);

    // 1 when recording runs (or already ran), 0 unless the port plays normally.
    int StartRecord(const std::string& path);
    // Ends recording and waits (at most about 5 s) for what is buffered to be
    // written. 1.
    int StopRecord();

    void SetPlayMode(int mode);
    int PlayMode();

    // What the player calls for sound.
    void OnAudioData(unsigned char* buffer, int32_t bytes) override;

    // One pass of each worker, for tests that drive a session on one thread.
    bool ParseStep() { return m_parser.ParseStep(); }
    bool PlayStep() { return m_video.PlayStep(); }
    bool RenderStep() { return m_presenter.RenderStep(); }

    // The worker bodies.
    void RunParser();
    void RunPlayVideo();
    void RunRender();
    void RunFileReader();
    void RunRecorder();

  private:
    int StartPlaying(bool file);
    // Under the control lock: counters back to a fresh start, state normal, workers
    // started; false when one could not be.
    bool StartWorkers_locked(bool file);
    void SetPlayState_locked(int state);
    // What a buffer reset empties besides the input stage.
    void ResetOthers();
    // A discontinuity of pushed video: everything starts afresh, caching too.
    void OnGap();

    PortStatus m_status;
    SessionSignals m_signals;
    PlayClock m_clock;
    HostCallbacks m_callbacks;
    Watermark m_watermark;
    InputStage m_input;
    Recorder m_recorder;
    Presenter m_presenter;
    AudioPath m_audio;
    VideoPipeline m_video;
    FileReader m_file;
    PacketParser m_parser;

    // Serialises the state changes and the starts; never held while waiting for a
    // thread, never taken by a worker outside a host callback.
    CCritSec m_controlLock;
    int m_savedState = qx::kStateNormal;  // guarded by m_controlLock
    bool m_retired = false;               // guarded by m_controlLock

    CCritSec m_playModeLock;
    int m_playMode = 0;  // guarded by m_playModeLock

    // Last member, first destroyed: the threads end before the parts they use.
    SessionWorkers m_workers{this};
};
