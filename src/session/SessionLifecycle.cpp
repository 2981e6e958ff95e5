// Starting and ending a port's workers, and their bodies.
#include <chrono>
#include <cstdio>
#include <functional>

#include "log/Log.h"
#include "stream/RecordedFiles.h"
#include "session/DDrawSession.h"

namespace {

constexpr long kStopRecordLimitMs = 5000;

std::string ThreadText(const void* session, int role) {
    char text[48];
    std::snprintf(text, sizeof text, "%zx",
                  std::hash<const void*>{}(session) + static_cast<size_t>(role));
    return text;
}

}  // namespace

bool DDrawSession::StartWorkers_locked(bool file) {
    using Role = SessionWorkers::Role;
    const std::shared_ptr<DDrawSession> self = shared_from_this();
    const auto start = [&](Role role, void (DDrawSession::*body)()) {
        m_workers.Start(
            role, [this, body] { (this->*body)(); }, self);
    };
    try {
        if (file)
            start(SessionWorkers::kFileReader, &DDrawSession::RunFileReader);
        if (!file) {
            start(SessionWorkers::kParser, &DDrawSession::RunParser);
            qx::log::DbgviewLog(5, "ThreadID2 = " + ThreadText(this, SessionWorkers::kParser));
        }
        start(SessionWorkers::kPlayVideo, &DDrawSession::RunPlayVideo);
        qx::log::DbgviewLog(5, "ThreadID1 = " + ThreadText(this, SessionWorkers::kPlayVideo));
        start(SessionWorkers::kRender, &DDrawSession::RunRender);
        qx::log::DbgviewLog(5, "ThreadID1 = " + ThreadText(this, SessionWorkers::kRender));
        if (file)
            start(SessionWorkers::kParser, &DDrawSession::RunParser);
        return true;
    } catch (...) {
        // The ones that started end by themselves; the next stop or play joins them.
        m_status.stopping = true;
        SetPlayState_locked(qx::kStateStop);
        return false;
    }
}

int DDrawSession::StartPlaying(bool file) {
    const bool ownThread = m_workers.OnOwnThread();
    // What an earlier stop asked to end must be gone before the state says "play".
    if (!ownThread && m_status.Ending())
        m_workers.Join({SessionWorkers::kParser, SessionWorkers::kPlayVideo,
                        SessionWorkers::kRender, SessionWorkers::kFileReader,
                        SessionWorkers::kRecord});
    CAutoLock lock(&m_controlLock);
    if (m_retired || (m_status.Ending() && (ownThread || HasWorkers())))
        return 0;
    const bool running = m_workers.Running(SessionWorkers::kParser) &&
                         m_workers.Running(SessionWorkers::kPlayVideo) &&
                         m_workers.Running(SessionWorkers::kRender);
    if (PlayState() == qx::kStateNormal && running)
        return file ? 0 : 1;
    if (file) {
        // Checked before anything changes: a file that cannot be read leaves the
        // port stopped, with no thread to wait for.
        if (!qx::IsExitsFile(m_file.FileName()))
            return 0;
    }
    m_video.PrepareForPlay();
    m_status.stats.Reset();
    m_input.ClearSource();
    if (file)
        m_file.LoadFileInfo();
    m_input.SetEndOfInput(false);
    m_status.stopping = false;
    SetPlayState_locked(qx::kStateNormal);
    m_status.inputFlag = 1;
    if (!StartWorkers_locked(file)) {
        if (file)
            qx::log::DbgviewLog(5, "Playfile failed!,port=%d", m_status.sessionId);
        else
            qx::log::DbgviewLog(5, std::string("5531,DDrawSession::Play failed"));
        return 0;
    }
    if (!file)
        qx::log::UpdateLog(3, "5307,DDrawSession::Play Exec success" + Description());
    return 1;
}

int DDrawSession::Play() {
    return StartPlaying(false);
}

int DDrawSession::PlayFile() {
    return StartPlaying(true);
}

bool DDrawSession::HasWorkers() {
    for (int role = 0; role < SessionWorkers::kRoleCount; ++role) {
        if (m_workers.Joinable(static_cast<SessionWorkers::Role>(role)))
            return true;
    }
    return false;
}

void DDrawSession::Stop() {
    {
        CAutoLock lock(&m_controlLock);
        m_status.stopping = true;
        SetPlayState_locked(qx::kStateStop);
        m_audio.DisableSound();
    }
    if (m_workers.OnOwnThread())
        return;
    const bool hadParser = m_workers.Joinable(SessionWorkers::kParser);
    const bool hadPlay = m_workers.Joinable(SessionWorkers::kPlayVideo);
    const bool hadRender = m_workers.Joinable(SessionWorkers::kRender);
    // The record thread writes what is buffered before it ends.
    m_workers.Join({SessionWorkers::kParser, SessionWorkers::kPlayVideo, SessionWorkers::kRender,
                    SessionWorkers::kRecord, SessionWorkers::kFileReader});
    const std::string played =
        "5311,DDrawSession::Stop RecH264Data::PlayVideo thread Exit Success" + Description();
    if (hadParser)
        qx::log::DbgviewLog(
            3, "5310,DDrawSession::Stop RecH264Data::ParseBufPacketExA thread Exit Success" +
                   Description());
    if (hadPlay)
        qx::log::DbgviewLog(3, played);
    if (hadRender)
        qx::log::DbgviewLog(3, played);
    CAutoLock lock(&m_controlLock);
    // A port reused for the next stream takes input again.
    m_input.SetEndOfInput(false);
    if (PlayState() == qx::kStateStop && !HasWorkers())
        m_status.stopping = false;
}

void DDrawSession::Retire() {
    CAutoLock lock(&m_controlLock);
    m_retired = true;
}

int DDrawSession::StartRecord(const std::string& path) {
    if (m_recorder.Recording())
        return 1;
    if (PlayState() != qx::kStateNormal)
        return 0;
    // A record thread that ended by itself (a failed disk, the size cap) or still
    // writes an earlier recording goes first.
    if (!m_workers.OnOwnThread())
        m_workers.Join({SessionWorkers::kRecord});
    CAutoLock lock(&m_controlLock);
    if (m_recorder.Recording())
        return 1;
    if (PlayState() != qx::kStateNormal || m_workers.Running(SessionWorkers::kRecord))
        return 0;
    try {
        if (!m_recorder.Begin(path))
            return 0;
        m_workers.Start(
            SessionWorkers::kRecord, [this] { RunRecorder(); }, shared_from_this());
        return 1;
    } catch (...) {
        m_recorder.Abandon();
        return 0;
    }
}

int DDrawSession::StopRecord() {
    m_recorder.End();
    // The thread writes the rest and ends; the record thread itself cannot wait.
    if (m_workers.IsCallingThread(SessionWorkers::kRecord))
        return 1;
    if (m_workers.WaitEnded(SessionWorkers::kRecord, kStopRecordLimitMs))
        m_workers.Join({SessionWorkers::kRecord});
    return 1;
}

void DDrawSession::RunParser() {
    while (!m_status.Ending()) {
        bool parsed = false;
        try {
            parsed = m_parser.ParseStep();
        } catch (...) {
        }
        if (!parsed && !m_parser.Moved())
            m_signals.parser.Wait(qx::WakeSignal::kInput);
    }
    qx::log::DbgviewLog(3,
                        "7301,RecH264Data::ParseBufPacketExA Stop Cmd Called, thread is ko,sid=" +
                            std::to_string(m_status.sessionId));
    // The parser owns the sound player: it goes with the run.
    m_audio.ClosePlayer();
}

void DDrawSession::RunPlayVideo() {
    m_video.BeginRun();
    while (!m_status.Ending()) {
        bool played = true;
        try {
            played = m_video.PlayStep();
        } catch (...) {
        }
        if (played)
            continue;
        // A live camera's packet left behind while this loop was busy: passed on here,
        // instead of by the parser thread woken for it.
        if (OpenMode() == qx::kModeLive && m_parser.ParseForPlayer())
            continue;
        const auto before = std::chrono::steady_clock::now();
        m_signals.play.Wait(qx::WakeSignal::kFrames, m_video.IdleWaitMs());
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - before);
        m_video.NoteNoData(static_cast<int>(waited.count()));
    }
}

void DDrawSession::RunRender() {
    while (!m_status.Ending()) {
        bool shown = false;
        try {
            shown = m_presenter.RenderStep();
        } catch (...) {
        }
        if (!shown)
            m_signals.render.Wait(qx::WakeSignal::kRender);
    }
}

void DDrawSession::RunFileReader() {
    try {
        m_file.Run(
            [this](const unsigned char* data, int length) { return InputData(data, length); },
            [this] { ResetBuffers(); });
    } catch (...) {
    }
}

void DDrawSession::RunRecorder() {
    try {
        m_recorder.Run();
    } catch (...) {
        m_recorder.Abandon();
    }
}
