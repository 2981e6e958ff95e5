// Starting and stopping the workers of a session, and their thread bodies.
#include <cinttypes>
#include <cstdio>

#include "log/RecH264Data.h"
#include "platform/Clock.h"
#include "session/DDrawSession.h"

namespace {

constexpr int kStopSettleMs = 40;
constexpr int kStopPollMs = 30;
// Tries after which a worker counts as overrunning; Stop logs it and goes on waiting.
constexpr int kStopOverrunTries = 50;

std::string ThreadText(const std::thread& thread) {
    char text[32];
    std::snprintf(text, sizeof text, "%zx", std::hash<std::thread::id>{}(thread.get_id()));
    return text;
}

}  // namespace

bool RecH264Data::isSessionNULL(const void* session) {
    if (session != nullptr)
        return false;
    DbgviewLog(5, std::string("7511,RecH264Data::PlayVideo Session is NULL,thread is KO!"));
    return true;
}

unsigned long RecH264Data::ParseBufPacketExA(void* context) {
    if (isSessionNULL(context)) {
        DbgviewLog(5,
                   std::string("7501,RecH264Data::ParseBufPacketExA Session is NUll,thread is KO"));
        return 0;
    }
    auto* session = static_cast<DDrawSession*>(context);
    const int sid = session->SessionId();
    for (;;) {
        if (session->PlayState() == qx::kStateStop) {
            DbgviewLog(3, "7301,RecH264Data::ParseBufPacketExA Stop Cmd Called, thread is ko,sid=" +
                              std::to_string(sid));
            session->MarkExited(DDrawSession::kParser);
            return 0;
        }
        try {
            // Waits for input when it finds no packet.
            session->ParseStep();
        } catch (...) {
        }
    }
}

unsigned long RecH264Data::PlayVedio(void* context) {
    if (isSessionNULL(context))
        return 0;
    auto* session = static_cast<DDrawSession*>(context);
    while (session->PlayState() != qx::kStateStop) {
        try {
            session->PlayStep();
        } catch (...) {
        }
    }
    session->MarkExited(DDrawSession::kPlayVideo);
    return 0;
}

unsigned long RecH264Data::ReadFileProc(void* context) {
    if (isSessionNULL(context))
        return 0;
    auto* session = static_cast<DDrawSession*>(context);
    try {
        session->ReadFileLoop();
    } catch (...) {
    }
    // Every way out, a file that would not open included, says so: Stop waits for it.
    session->MarkExited(DDrawSession::kFileReader);
    return 0;
}

unsigned long RecH264Data::RecordFile(void* context) {
    if (isSessionNULL(context))
        return 0;
    auto* session = static_cast<DDrawSession*>(context);
    try {
        session->RecordLoop();
    } catch (...) {
    }
    session->MarkExited(DDrawSession::kRecord);
    return 0;
}

unsigned long RecH264Data::RenderVedio(void* context) {
    if (isSessionNULL(context))
        return 0;
    auto* session = static_cast<DDrawSession*>(context);
    while (session->PlayState() != qx::kStateStop) {
        try {
            session->RenderStep();
        } catch (...) {
        }
    }
    session->MarkExited(DDrawSession::kRender);
    return 0;
}

void DDrawSession::MarkExited(Worker worker) {
    m_workers[worker].exited.store(true);
    m_wake.Post(qx::WakeBoard::kExit);
}

void DDrawSession::StartWorker(Worker worker) {
    WorkerThread& w = m_workers[worker];
    if (w.thread.joinable()) {
        // A worker that ended by itself (the state went to stop) counts as absent.
        if (!w.exited.load() || w.thread.get_id() == std::this_thread::get_id())
            return;
        w.thread.join();
    }
    static unsigned long (*const kEntries[kWorkerCount])(void*) = {
        &RecH264Data::ParseBufPacketExA, &RecH264Data::PlayVedio, &RecH264Data::RenderVedio,
        &RecH264Data::ReadFileProc, &RecH264Data::RecordFile};
    w.exited.store(false);
    std::shared_ptr<DDrawSession> self = shared_from_this();
    auto entry = kEntries[worker];
    w.thread = std::thread([self, entry] { entry(self.get()); });
}

bool DDrawSession::HasWorkers() {
    CAutoLock lock(&m_controlLock);
    for (const WorkerThread& w : m_workers) {
        if (w.thread.joinable())
            return true;
    }
    return false;
}

void DDrawSession::PrepareForPlay() {
    m_videoFrames = 0;
    m_frameInterval = 40;
    m_frameRate = 25;
    {
        CAutoLock srcLock(&m_srcLock);
        m_srcBuf.Clear();
    }
    SetPlayedFrameNumber(0);
    m_endNotified = false;
    m_nNotDataCnt = 0;
    if (PlayState() == qx::kStateStop) {
        // Workers of an earlier run end by themselves once they see the stop; they
        // must be gone before the state says "play" again, or they would stay.
        for (int worker = 0; worker < kWorkerCount; ++worker)
            JoinWorker(static_cast<Worker>(worker));
    }
}

int DDrawSession::Play() {
    CAutoLock lock(&m_controlLock);
    if (!m_initialised)
        return 0;
    if (PlayState() == qx::kStateNormal)
        return 1;
    try {
        PrepareForPlay();
        SetPlayState(qx::kStateNormal);
        m_inputFlag = 1;
        StartWorker(kParser);
        RecH264Data::DbgviewLog(5, "ThreadID2 = " + ThreadText(m_workers[kParser].thread));
        StartWorker(kPlayVideo);
        RecH264Data::DbgviewLog(5, "ThreadID1 = " + ThreadText(m_workers[kPlayVideo].thread));
        StartWorker(kRender);
        RecH264Data::DbgviewLog(5, "ThreadID1 = " + ThreadText(m_workers[kRender].thread));
    } catch (...) {
        RecH264Data::DbgviewLog(5, std::string("5531,DDrawSession::Play failed"));
    }
    RecH264Data::UpdateLog(3, "5307,DDrawSession::Play Exec success" + Description());
    return 1;
}

void DDrawSession::JoinWorker(Worker worker) {
    WorkerThread& w = m_workers[worker];
    if (!w.thread.joinable())
        return;
    // A host callback on this very worker stopped the session: it returns to a loop
    // that sees the stop, and whoever starts or frees the session next joins it.
    if (w.thread.get_id() == std::this_thread::get_id())
        return;
    for (int tries = 1; !w.exited.load(); ++tries) {
        m_playState.store(qx::kStateStop);
        m_wake.Post(qx::WakeBoard::kState);
        m_wake.Wait(m_wake.Take(), qx::WakeBoard::Bit(qx::WakeBoard::kExit), kStopPollMs);
        if (tries == kStopOverrunTries && worker <= kRender) {
            // Nothing on Linux ends a thread from outside; waiting on is the only way
            // not to free what it still touches.
            if (worker == kParser) {
                RecH264Data::DbgviewLog(4,
                                        "5541,DDrawSession::Stop Wait mParseBufThreadExitEvt "
                                        "Timeout ,mParseBufThread=" +
                                            ThreadText(w.thread));
            } else {
                RecH264Data::DbgviewLog(4,
                                        "5542,DDrawSession::Stop Wait mPlayVideoThreadExitEvt "
                                        "Timeout,mPlayVideoThread=" +
                                            ThreadText(w.thread));
            }
        }
    }
    w.thread.join();
    if (worker > kRender)
        return;
    RecH264Data::DbgviewLog(
        3, std::string(
               worker == kParser
                   ? "5310,DDrawSession::Stop RecH264Data::ParseBufPacketExA thread Exit Success"
                   : "5311,DDrawSession::Stop RecH264Data::PlayVideo thread Exit Success") +
               Description());
}

void DDrawSession::Stop() {
    CAutoLock lock(&m_controlLock);
    SetPlayState(qx::kStateStop);
    SleepMs(kStopSettleMs);
    JoinWorker(kParser);
    JoinWorker(kPlayVideo);
    JoinWorker(kRender);
    // The record thread writes what is buffered before it ends.
    JoinWorker(kRecord);
    if (m_workers[kFileReader].thread.joinable()) {
        JoinWorker(kFileReader);
        m_endOfInput = false;
    }
    m_soundEnabled = false;
}
