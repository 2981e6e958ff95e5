#include "session/DDrawSession.h"

#include <cstring>
#include <string>

#include "log/RecH264Data.h"
#include "platform/Clock.h"

DDrawSession::DDrawSession() {
    std::string trace = "DDrawSession begin";
    m_frequency = qx::QueryPerformanceFrequency();
    m_curPayload.reset(new unsigned char[qx::kStreamBufferSize]);
    trace += ",Init srcBuf success,Init videoSrcBuf success";
    m_packetBuf.reset(new unsigned char[qx::kStreamBufferSize]);
    trace += ",Init srcBuf success";
    m_AudioCirQueue = std::make_unique<AudioCirQueue>();
    m_AudioCirQueue->Initialise(qx::kLiveAudioQueue);
    trace += ",Init m_AudioCirQueue success,Init audio decodec success";
    m_initialised = true;
    RecH264Data::UpdateLog(
        3, "5301,DDrawSession::DDrawSession call success" + Description() + "," + trace);
}

DDrawSession::~DDrawSession() {
    CAutoLock lock(&m_renderQueueLock);
    m_renderQueue.clear();
}

void DDrawSession::SetSessionID(int id) {
    m_sessionId = id;
    RecH264Data::UpdateLog(3, "5308,DDrawSession::SetSessionID success" + Description());
}

std::string DDrawSession::Description() const {
    return ",sid=" + std::to_string(m_sessionId);
}

bool DDrawSession::SetOpenMode(int mode) {
    if (mode < 0 || mode > 3)
        return false;
    m_openMode.store(mode);
    if (mode == 1)
        m_AudioCirQueue->Initialise(qx::kFileAudioQueue);
    return true;
}

void DDrawSession::SetPlayState(int state) {
    const int mode = OpenMode();
    if ((mode == 0 || mode == 3) && state != qx::kStateNormal && state != qx::kStateStop)
        return;
    {
        CAutoLock stateLock(&m_stateLock);
        m_playClockStart = qx::QueryPerformanceCounter();
        CAutoLock ptsLock(&m_curPtsLock);
        CAutoLock timeLock(&m_playTimeLock);
        m_savedPlayedTime = m_nPlayTm;
    }
    const int old = m_playState.load();
    if (old == qx::kStateBack)
        ResetBuffers();
    m_resync.store(true);
    m_playState.store(state);
    if (state == qx::kStateStep)
        ++m_stepCount;
    if (state == qx::kStateBack)
        ResetBuffers();
}

void DDrawSession::Stop() {
    m_playState.store(qx::kStateStop);
}

int DDrawSession::SourceFill() {
    CAutoLock lock(&m_srcLock);
    return m_srcBuf.Size();
}

int64_t DDrawSession::LastInputPts() {
    CAutoLock lock(&m_lastInputPtsLock);
    return m_lastInputPts;
}

int DDrawSession::RenderQueueSize() {
    CAutoLock lock(&m_renderQueueLock);
    return static_cast<int>(m_renderQueue.size());
}

void DDrawSession::ResetBuffers() {
    CAutoLock srcLock(&m_srcLock);
    m_srcBuf.Clear();
    {
        CAutoLock frameLock(&m_frameLock);
        m_frameBuf.Clear();
        m_FrameBuffCount = 0;
    }
    {
        CAutoLock stageLock(&m_audioStageLock);
        m_audioCarry.param.nal_len = 0;
        m_curAudio.param.nal_len = 0;
    }
    m_positions.Clear();
    m_AudioCirQueue->Clear();
    m_consumedBytes = 0;
    m_decodedPictures = 0;
    m_deliveredAudioFrames = 0;
    m_endNotified = false;
    m_nNotDataCnt = 0;
    m_firstRender = true;
}

void DDrawSession::EmptyRenderQueue() {
    {
        CAutoLock lock(&m_renderQueueLock);
        m_renderQueue.clear();
    }
    m_consumedBytes = 0;
    m_deliveredAudioFrames = 0;
    {
        CAutoLock lock(&m_curPtsLock);
        m_lastPts = 0;
        m_curFrameTime = 0;
        m_audioRefTime = 0;
    }
    m_decodedPictures = 0;
    m_firstInputTick = 0;
    m_positions.NoteLastRendered(-1);
    m_firstVideoPts = -1;
    m_firstAudioPts = -1;
    m_audioStart = true;
    m_firstRender = true;
    m_caching = true;
}
