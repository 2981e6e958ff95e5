#include "session/DDrawSession.h"

#include <cstring>
#include <string>

#include "decode/H265Decode.h"
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
    // Every worker holds a reference, so by now each has left its body; the last one
    // may be the thread running this destructor.
    for (WorkerThread& w : m_workers) {
        if (!w.thread.joinable())
            continue;
        if (w.thread.get_id() == std::this_thread::get_id())
            w.thread.detach();
        else
            w.thread.join();
    }
    // The player calls back into this session: it goes before anything it reads.
    StopSound();
    DeletePictureObjects();
    m_decoder.reset();
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

void DDrawSession::SetDecodeMessageCallback(QxMessageCallback callback, void* user) {
    CAutoLock lock(&m_callbackLock);
    m_decodeMessage = callback;
    m_decodeMessageUser = user;
}

void DDrawSession::SetColor(const ColorSettings& raw, const ColorAdjust& adjust) {
    CAutoLock lock(&m_callbackLock);
    m_colorRaw = raw;
    m_colorAdjust = adjust;
}

DDrawSession::ColorSettings DDrawSession::Color() {
    CAutoLock lock(&m_callbackLock);
    return m_colorRaw;
}

DDrawSession::ColorAdjust DDrawSession::ColorAdjustment() {
    CAutoLock lock(&m_callbackLock);
    return m_colorAdjust;
}

void DDrawSession::SetDisplayCallback(QxDisplayCallback callback) {
    CAutoLock lock(&m_callbackLock);
    m_displayCallback = callback;
}

void DDrawSession::SetDecodeCallback(QxDecodeCallback callback) {
    CAutoLock lock(&m_callbackLock);
    m_decodeCallback = callback;
}

void DDrawSession::SetExceptionCallback(QxMessageCallback callback, void* user) {
    CAutoLock lock(&m_callbackLock);
    m_exceptionCallback = callback;
    m_exceptionUser = user;
}

void DDrawSession::SetFileEndCallback(QxFileEndCallback callback, void* user) {
    CAutoLock lock(&m_callbackLock);
    m_fileEndCallback = callback;
    m_fileEndUser = user;
}

int64_t DDrawSession::PlayedTimeMs() {
    const bool decoded = m_decodedPictures.load() != 0;
    CAutoLock lock(&m_playTimeLock);
    return decoded ? m_nPlayTm : m_lPlayTmOff;
}

void DDrawSession::SetFileName(const std::string& name) {
    CAutoLock lock(&m_fileNameLock);
    if (name != m_fileName)
        m_fileScanned = false;
    m_fileName = name;
}

std::string DDrawSession::FileName() {
    CAutoLock lock(&m_fileNameLock);
    return m_fileName;
}

void DDrawSession::RequestSeek(int seconds) {
    m_seekRequest = seconds;
    m_keyFrameWait = true;
    m_resync = true;
}

void DDrawSession::SetPlayTimeOffset(int64_t ms) {
    CAutoLock lock(&m_playTimeLock);
    m_lPlayTmOff = ms;
}

int64_t DDrawSession::PlayTimeOffset() {
    CAutoLock lock(&m_playTimeLock);
    return m_lPlayTmOff;
}

void DDrawSession::SetPlayedFrameNumber(int frame) {
    CAutoLock lock(&m_frameNumberLock);
    m_playedFrameNumber = frame;
}

int DDrawSession::PlayedFrameNumber() {
    CAutoLock lock(&m_frameNumberLock);
    return m_playedFrameNumber;
}

void DDrawSession::Pause(bool pause) {
    CAutoLock lock(&m_controlLock);
    if (pause) {
        const int current = PlayState();
        m_savedState = current == qx::kStateStep ? qx::kStateNormal : current;
        SetPlayState(qx::kStatePause);
    } else {
        SetPlayState(m_savedState.load());
    }
}

int DDrawSession::Fast() {
    CAutoLock lock(&m_controlLock);
    int next;
    switch (PlayState()) {
        case -16:
            next = -8;
            break;
        case -8:
            next = -4;
            break;
        case -4:
            next = -2;
            break;
        case -2:
            next = 1;
            break;
        case 1:
            next = 2;
            break;
        case 2:
            next = 4;
            break;
        case 4:
            next = 8;
            break;
        case 8:
        case 16:
            next = 16;
            break;
        default:
            next = 2;
            break;
    }
    if (next != PlayState())
        SetPlayState(next);
    return 1;
}

int DDrawSession::Slow() {
    CAutoLock lock(&m_controlLock);
    int next;
    switch (PlayState()) {
        case -16:
        case -8:
            next = -16;
            break;
        case -4:
            next = -8;
            break;
        case -2:
            next = -4;
            break;
        case 1:
            next = -2;
            break;
        case 2:
            next = 1;
            break;
        case 4:
            next = 2;
            break;
        case 8:
            next = 4;
            break;
        case 16:
            next = 8;
            break;
        default:
            next = -2;
            break;
    }
    if (next != PlayState())
        SetPlayState(next);
    return 1;
}

int DDrawSession::Back() {
    SetPlayState(PlayState() != qx::kStateBack ? qx::kStateBack : qx::kStateNormal);
    return 1;
}

void DDrawSession::RestartPlayClock() {
    CAutoLock stateLock(&m_stateLock);
    m_playClockStart = qx::QueryPerformanceCounter();
    CAutoLock ptsLock(&m_curPtsLock);
    CAutoLock timeLock(&m_playTimeLock);
    m_savedPlayedTime = m_nPlayTm;
}

void DDrawSession::SetPlayState(int state) {
    const int mode = OpenMode();
    if ((mode == 0 || mode == 3) && state != qx::kStateNormal && state != qx::kStateStop)
        return;
    RestartPlayClock();
    const int old = m_playState.load();
    if (old == qx::kStateBack)
        ResetBuffers();
    m_resync.store(true);
    m_playState.store(state);
    if (state == qx::kStateStep)
        ++m_stepCount;
    if (state == qx::kStateBack)
        ResetBuffers();
    m_wake.Post(qx::WakeBoard::kState);
}

int DDrawSession::SourceFill() {
    CAutoLock lock(&m_srcLock);
    return m_srcBuf.Size();
}

int64_t DDrawSession::LastInputPts() {
    CAutoLock lock(&m_lastInputPtsLock);
    return m_lastInputPts;
}

int DDrawSession::FrameFill() {
    CAutoLock lock(&m_frameLock);
    return m_frameBuf.Size();
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
    m_wake.Post(qx::WakeBoard::kFrames);
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

bool DDrawSession::MakeDecoder(int kind, int width, int height) {
    m_decoder.reset();
    if (kind == qx::kKindH264)
        m_decoder = std::make_unique<H264Decode>();
    else if (kind == qx::kKindH265)
        m_decoder = std::make_unique<H265Decode>();
    if (!m_decoder)
        return false;
    if (m_decoder->CreateDecode(width, height, m_sessionId))
        return true;
    // Never keep a decoder that failed: the next parameter set tries again.
    m_decoder.reset();
    return false;
}
