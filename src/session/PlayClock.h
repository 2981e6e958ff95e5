#pragma once

#include <cstdint>

#include "platform/CritSec.h"

// The clocks of one port and the times they are built from, all under one lock:
// the play clock that slow play measures from, the played time the host reads, the
// video and audio clocks that lip sync compares, the file-mode picture times, and
// the live render clock. Milliseconds unless a name says otherwise.
class PlayClock {
  public:
    // A state change or the end of a pause: slow play measures from now, and the
    // played time so far is kept.
    void RestartPlayClock();
    int64_t PlayClockStart();
    // Pictures before the first parameter set: the played time stays at the kept one.
    void KeepSavedPlayedTime();
    // The clock once a picture was decoded, else the seek offset.
    int64_t PlayedTimeMs(bool decoded);
    void SetPlayTimeOffset(int64_t ms);
    int64_t PlayTimeOffset();
    // The host's played time follows the video clock.
    void UpdatePlayedTime();

    // File modes: the picture at stream time ms moves the video clock by its distance
    // to the previous picture, which is returned (0 for the first). After a seek
    // (seekEnded) the audio clock starts level with the video and the distance is 0.
    int64_t AdvanceVideo(int64_t ms, bool seekEnded);
    int64_t CurrentFrameTime();
    // How long the picture the video clock stands at has been up.
    int64_t VideoShownForMs();
    // The next picture starts the stream times afresh.
    void RestartStream();

    // Live modes: the pts (microseconds) of the newest picture the play loop took.
    void SetLivePts(int64_t pts);
    int64_t LivePts();
    // The first live picture after a reset: the render clock starts now.
    void StartLiveRender(int64_t now);
    // Adds delta (microseconds of stream) to the live clock; when it is due (ms since
    // the render clock base) and that base.
    void AdvanceLive(int64_t deltaUs, int64_t* dueMs, int64_t* base);
    // Without a jitter buffer the clock follows the stream: the base moves back.
    void MoveRenderBase(int64_t ticks);

    // Sound: the frame at pts (microseconds) moves the audio clock; with resync it
    // only sets the reference. Trick play may run before any sound did: with
    // startIfUnset its first frame starts the clock.
    void AdvanceAudio(int64_t pts, bool resync, bool startIfUnset);
    bool AudioBehindVideo();
    // Sound starts at stream time ms: the audio clock is set so that both count the
    // same stream time; returns the time of the picture on screen.
    int64_t StartAudio(int64_t ms);
    // How far the picture is ahead of the sound heard, queuedMs after it was handed on.
    int64_t VideoAheadOfAudio(int64_t queuedMs);

  private:
    CCritSec m_lock;
    // guarded by m_lock
    int64_t m_playClockStart = 0;
    int64_t m_savedPlayedTime = 0;
    int64_t m_nPlayTm = 0;
    int64_t m_lPlayTmOff = 0;
    int64_t m_videoPlayed = 0;
    int64_t m_audioPlayed = 0;
    int64_t m_lastPts = 0;
    int64_t m_curFrameTime = 0;
    // Counter ticks when the video clock last moved.
    int64_t m_videoAdvancedAt = 0;
    int64_t m_audioRefTime = 0;
    int64_t m_lCurVPlayPts = 0;
    // Microseconds of live stream shown since the first picture.
    int64_t m_liveVideoPlayed = 0;
    int64_t m_renderClockBase = 0;
};
