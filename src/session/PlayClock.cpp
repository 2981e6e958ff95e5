#include "session/PlayClock.h"

#include "platform/Clock.h"

void PlayClock::RestartPlayClock() {
    CAutoLock lock(&m_lock);
    m_playClockStart = qx::QueryPerformanceCounter();
    m_savedPlayedTime = m_nPlayTm;
}

int64_t PlayClock::PlayClockStart() {
    CAutoLock lock(&m_lock);
    return m_playClockStart;
}

void PlayClock::KeepSavedPlayedTime() {
    CAutoLock lock(&m_lock);
    m_nPlayTm = m_savedPlayedTime;
}

int64_t PlayClock::PlayedTimeMs(bool decoded) {
    CAutoLock lock(&m_lock);
    return decoded ? m_nPlayTm : m_lPlayTmOff;
}

void PlayClock::SetPlayTimeOffset(int64_t ms) {
    CAutoLock lock(&m_lock);
    m_lPlayTmOff = ms;
}

int64_t PlayClock::PlayTimeOffset() {
    CAutoLock lock(&m_lock);
    return m_lPlayTmOff;
}

void PlayClock::UpdatePlayedTime() {
    CAutoLock lock(&m_lock);
    m_nPlayTm = m_videoPlayed;
}

int64_t PlayClock::AdvanceVideo(int64_t ms, bool seekEnded) {
    CAutoLock lock(&m_lock);
    const bool first = m_lastPts == 0;
    if (!first)
        m_videoPlayed += ms - m_lastPts;
    m_videoAdvancedAt = qx::QueryPerformanceCounter();
    m_curFrameTime = ms;
    int64_t distance = first ? 0 : ms - m_lastPts;
    m_lastPts = ms;
    if (seekEnded) {
        m_audioPlayed = m_videoPlayed;
        distance = 0;
    }
    return distance;
}

int64_t PlayClock::VideoShownForMs() {
    CAutoLock lock(&m_lock);
    if (m_videoAdvancedAt == 0)
        return 0;
    return (qx::QueryPerformanceCounter() - m_videoAdvancedAt) * 1000 /
           qx::QueryPerformanceFrequency();
}

int64_t PlayClock::CurrentFrameTime() {
    CAutoLock lock(&m_lock);
    return m_curFrameTime;
}

void PlayClock::RestartStream() {
    CAutoLock lock(&m_lock);
    m_lastPts = 0;
    m_curFrameTime = 0;
    m_audioRefTime = 0;
}

void PlayClock::SetLivePts(int64_t pts) {
    CAutoLock lock(&m_lock);
    m_lCurVPlayPts = pts;
}

int64_t PlayClock::LivePts() {
    CAutoLock lock(&m_lock);
    return m_lCurVPlayPts;
}

void PlayClock::StartLiveRender(int64_t now) {
    CAutoLock lock(&m_lock);
    m_liveVideoPlayed = 0;
    m_renderClockBase = now;
}

void PlayClock::AdvanceLive(int64_t deltaUs, int64_t* dueMs, int64_t* base) {
    CAutoLock lock(&m_lock);
    m_liveVideoPlayed += deltaUs;
    *dueMs = m_liveVideoPlayed / 1000;
    *base = m_renderClockBase;
}

void PlayClock::MoveRenderBase(int64_t ticks) {
    CAutoLock lock(&m_lock);
    m_renderClockBase -= ticks;
}

namespace {

// Steps between audio packets up to this long are the sound going on, not a jump.
constexpr int64_t kContinuousAudioMs = 100;

}  // namespace

void PlayClock::AdvanceAudio(int64_t pts, bool resync, bool startIfUnset) {
    const int64_t t = pts / 1000;
    CAutoLock lock(&m_lock);
    if (startIfUnset && m_audioRefTime == 0)
        m_audioRefTime = t;
    const int64_t delta = t - m_audioRefTime;
    m_audioRefTime = t;
    // A state change leaves out the step across it, which after a seek is a jump; sound
    // that simply goes on (a pause, a speed change) is still counted.
    if (!resync || (delta > 0 && delta <= kContinuousAudioMs))
        m_audioPlayed += delta;
}

bool PlayClock::AudioBehindVideo() {
    CAutoLock lock(&m_lock);
    return m_audioPlayed < m_videoPlayed;
}

int64_t PlayClock::StartAudio(int64_t ms) {
    CAutoLock lock(&m_lock);
    m_audioRefTime = ms;
    m_audioPlayed = m_videoPlayed + (ms - m_curFrameTime);
    return m_curFrameTime;
}

int64_t PlayClock::VideoAheadOfAudio(int64_t queuedMs) {
    CAutoLock lock(&m_lock);
    return m_videoPlayed - (m_audioPlayed - queuedMs);
}
