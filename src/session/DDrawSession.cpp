#include "session/DDrawSession.h"

#include <string>

#include "log/Log.h"

DDrawSession::DDrawSession()
    : m_input(m_status, m_signals),
      m_recorder(m_status, m_signals, m_callbacks),
      m_presenter(m_status, m_signals, m_clock, m_input, m_callbacks),
      m_audio(m_status, m_signals, m_clock, m_recorder, *this),
      m_video(m_status, m_signals, m_clock, m_presenter, m_audio, m_recorder, m_callbacks,
              m_watermark),
      m_file(m_status, m_signals, m_input),
      m_parser(m_status, m_signals, m_input, m_video, m_audio) {
    m_input.SetGapHandler([this] { OnGap(); });
    qx::log::UpdateLog(3, "5301,DDrawSession::DDrawSession call success" + Description() +
                              ",DDrawSession begin,Init srcBuf success,Init videoSrcBuf "
                              "success,Init srcBuf success,Init m_AudioCirQueue success,Init "
                              "audio decodec success");
}

// The members go in reverse order: the workers are joined first.
DDrawSession::~DDrawSession() = default;

void DDrawSession::SetSessionID(int id) {
    m_status.sessionId = id;
    qx::log::UpdateLog(3, "5308,DDrawSession::SetSessionID success" + Description());
}

std::string DDrawSession::Description() const {
    return ",sid=" + std::to_string(m_status.sessionId);
}

bool DDrawSession::SetOpenMode(int mode) {
    if (mode < qx::kModeLive || mode > qx::kModeLiveUnpaced)
        return false;
    m_status.openMode.store(mode);
    // Both file-like modes read ahead of the sound and must be able to queue it.
    if (mode == qx::kModePushed || mode == qx::kModeFile)
        m_audio.SetQueueCapacity(qx::kFileAudioQueue);
    return true;
}

int DDrawSession::InputData(const unsigned char* data, int length, bool* parseHere) {
    const int taken = m_input.InputData(data, length, parseHere);
    // A live port records what the host hands over, as it came, whatever its size.
    if (taken == 1 && OpenMode() == qx::kModeLive)
        m_recorder.Push(data, length, true);
    return taken;
}

void DDrawSession::ResetOthers() {
    m_video.ClearFrames();
    m_audio.Reset();
    m_status.consumedBytes = 0;
    m_status.decodedPictures = 0;
    m_status.deliveredAudioFrames = 0;
    m_video.ResetCounters();
    m_presenter.RestartRender();
}

void DDrawSession::ResetBuffers() {
    m_input.Reset();
    ResetOthers();
}

void DDrawSession::OnGap() {
    ResetOthers();
    m_presenter.EmptyRenderQueue();
    m_clock.RestartStream();
    m_audio.RestartSound();
}

void DDrawSession::SetPlayState_locked(int state) {
    if (qx::IsLiveMode(OpenMode()) && state != qx::kStateNormal && state != qx::kStateStop)
        return;
    m_clock.RestartPlayClock();
    if (m_status.PlayState() == qx::kStateBack)
        ResetBuffers();
    m_status.resync = true;
    m_status.playState.store(state);
    if (state == qx::kStateStep)
        m_video.AddStep();
    if (state == qx::kStateBack)
        ResetBuffers();
    m_signals.PostAll(qx::WakeSignal::kState);
    m_input.WakeWaiters();
}

void DDrawSession::SetPlayState(int state) {
    CAutoLock lock(&m_controlLock);
    SetPlayState_locked(state);
}

void DDrawSession::Pause(bool pause) {
    CAutoLock lock(&m_controlLock);
    if (pause) {
        const int current = PlayState();
        m_savedState = current == qx::kStateStep ? qx::kStateNormal : current;
        SetPlayState_locked(qx::kStatePause);
    } else {
        SetPlayState_locked(m_savedState);
    }
}

namespace {

int FasterState(int state) {
    switch (state) {
        case -16:
            return -8;
        case -8:
            return -4;
        case -4:
            return -2;
        case -2:
            return 1;
        case 1:
            return 2;
        case 2:
            return 4;
        case 4:
            return 8;
        case 8:
        case 16:
            return 16;
        default:
            return 2;
    }
}

int SlowerState(int state) {
    switch (state) {
        case -16:
        case -8:
            return -16;
        case -4:
            return -8;
        case -2:
            return -4;
        case 1:
            return -2;
        case 2:
            return 1;
        case 4:
            return 2;
        case 8:
            return 4;
        case 16:
            return 8;
        default:
            return -2;
    }
}

}  // namespace

int DDrawSession::Fast() {
    CAutoLock lock(&m_controlLock);
    const int next = FasterState(PlayState());
    if (next != PlayState())
        SetPlayState_locked(next);
    return 1;
}

int DDrawSession::Slow() {
    CAutoLock lock(&m_controlLock);
    const int next = SlowerState(PlayState());
    if (next != PlayState())
        SetPlayState_locked(next);
    return 1;
}

int DDrawSession::Back() {
    CAutoLock lock(&m_controlLock);
    SetPlayState_locked(PlayState() != qx::kStateBack ? qx::kStateBack : qx::kStateNormal);
    return 1;
}

void DDrawSession::RequestSeek(int seconds) {
    m_file.RequestSeek(seconds);
    m_status.keyFrameWait = true;
    m_status.resync = true;
}

void DDrawSession::SetPlayMode(int mode) {
    CAutoLock lock(&m_playModeLock);
    m_playMode = mode;
}

int DDrawSession::PlayMode() {
    CAutoLock lock(&m_playModeLock);
    return m_playMode;
}

void DDrawSession::OnAudioData(unsigned char* buffer, int32_t bytes) {
    m_audio.OnAudioData(buffer, bytes);
}
