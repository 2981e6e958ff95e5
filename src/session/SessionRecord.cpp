// Recording: what the port plays goes into a buffer, and the record thread writes it
// to the file in 100 KiB blocks.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "log/RecH264Data.h"
#include "platform/StdioFile.h"
#include "platform/Clock.h"
#include "session/DDrawSession.h"

namespace {

constexpr int kRecordBuffer = 0x200000;
constexpr int kRecordBlock = 102400;
constexpr int64_t kRecordCap = 0x80000000LL;
constexpr int kWriteAttempts = 10;
constexpr int kWriteRetryMs = 5;
constexpr int kRecordPollMs = 10;
constexpr int kRecordIdleMs = 20;
constexpr int kStopRecordPollMs = 30;
constexpr int kStopRecordLimitMs = 5000;
constexpr uint32_t kDropLogEveryMs = 1000;

// All of the block or nothing: a short write goes on with what is left, so that no
// byte is written twice.
bool WriteAll(std::FILE* file, const unsigned char* data, size_t size) {
    size_t done = 0;
    int attempts = 0;
    while (done < size) {
        const size_t wrote = std::fwrite(data + done, 1, size - done, file);
        done += wrote;
        if (done < size) {
            if (++attempts >= kWriteAttempts)
                return false;
            std::clearerr(file);
            RecH264Data::MSleep(kWriteRetryMs);
            continue;
        }
        attempts = 0;
    }
    return true;
}

}  // namespace

int DDrawSession::StartRecord(const std::string& path) {
    // Start, stop and the session's Stop all join the record thread: one at a time.
    CAutoLock control(&m_controlLock);
    if (m_recording)
        return 1;
    if (PlayState() != qx::kStateNormal)
        return 0;
    try {
        // A record thread that ended by itself (a failed disk, the size cap) goes first.
        JoinWorker(kRecord);
        {
            CAutoLock lock(&m_recordLock);
            m_recordPath = path;
            m_recordBuf.assign(kRecordBuffer, 0);
            m_recordFill = 0;
            m_recordDropped = 0;
        }
        {
            CAutoLock lock(&m_recordSizeLock);
            m_recordSize = 0;
        }
        m_recording = true;
        StartWorker(kRecord);
        return 1;
    } catch (...) {
        m_recording = false;
        CAutoLock lock(&m_recordLock);
        m_recordBuf.clear();
        m_recordBuf.shrink_to_fit();
        return 0;
    }
}

int DDrawSession::StopRecord() {
    CAutoLock control(&m_controlLock);
    m_recording = false;
    WorkerThread& w = m_workers[kRecord];
    if (w.thread.joinable()) {
        // The thread writes the rest and ends; waiting on it is the only safe way.
        for (int waited = 0; !w.exited.load() && waited <= kStopRecordLimitMs;
             waited += kStopRecordPollMs)
            m_wake.Wait(m_wake.Take(), qx::WakeBoard::Bit(qx::WakeBoard::kExit), kStopRecordPollMs);
        if (w.exited.load())
            w.thread.join();
    }
    CAutoLock lock(&m_recordLock);
    if (!w.thread.joinable()) {
        m_recordBuf.clear();
        m_recordBuf.shrink_to_fit();
    }
    return 1;
}

uint32_t DDrawSession::RecordSize() {
    CAutoLock lock(&m_recordSizeLock);
    return m_recordSize;
}

void DDrawSession::RecordPush(const unsigned char* data, int length, bool wholeChunk) {
    if (!m_recording || data == nullptr || length <= 0)
        return;
    if (!wholeChunk && length < qx::kHeaderSize)
        return;
    CAutoLock lock(&m_recordLock);
    if (m_recordBuf.empty())
        return;
    if (static_cast<int64_t>(m_recordFill) + length < kRecordBuffer) {
        std::memcpy(m_recordBuf.data() + m_recordFill, data, static_cast<size_t>(length));
        m_recordFill += length;
        return;
    }
    m_recordDropped += length;
    const uint32_t now = qx::GetTickCount();
    if (now - m_recordDropLogTick >= kDropLogEveryMs) {
        m_recordDropLogTick = now;
        RecH264Data::DbgviewLog(115, "record buffer full, %lld bytes dropped",
                                static_cast<long long>(m_recordDropped));
    }
}

void DDrawSession::RecordLoop() {
    std::string path;
    {
        CAutoLock lock(&m_recordLock);
        path = m_recordPath;
    }
    qx::StdioFile file(std::fopen(path.c_str(), "wb+"));
    if (!file) {
        m_recording = false;
        return;
    }
    // Unbuffered, so that a write that fails is known at once and exactly.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    std::vector<unsigned char> block(kRecordBlock);
    for (;;) {
        // A stopping session still gets what it has buffered onto the disk.
        const bool stopping = PlayState() == qx::kStateStop;
        int pause = kRecordPollMs;
        {
            CAutoLock lock(&m_recordSizeLock);
            if (m_recordSize >= kRecordCap) {
                RecH264Data::DbgviewLog(115, "%s", "record file reached 2 GiB, recording stops");
                break;
            }
        }
        int chunk = 0;
        {
            CAutoLock lock(&m_recordLock);
            if (m_recordFill >= kRecordBlock) {
                chunk = kRecordBlock;
            } else if (!m_recording || stopping) {
                if (m_recordFill == 0)
                    break;
                chunk = m_recordFill;
            } else {
                pause = kRecordIdleMs;
            }
            if (chunk > 0) {
                std::memcpy(block.data(), m_recordBuf.data(), static_cast<size_t>(chunk));
                std::memmove(m_recordBuf.data(), m_recordBuf.data() + chunk,
                             static_cast<size_t>(m_recordFill - chunk));
                m_recordFill -= chunk;
            }
        }
        if (chunk > 0) {
            if (!WriteAll(file.get(), block.data(), static_cast<size_t>(chunk))) {
                file.reset();
                m_recording = false;
                QxMessageCallback callback;
                void* user;
                {
                    CAutoLock lock(&m_callbackLock);
                    callback = m_exceptionCallback;
                    user = m_exceptionUser;
                }
                if (callback != nullptr)
                    callback(m_sessionId, 1, user);
                return;
            }
            CAutoLock lock(&m_recordSizeLock);
            m_recordSize += static_cast<uint32_t>(chunk);
            continue;
        }
        RecH264Data::MSleep(pause);
    }
    m_recording = false;
}
