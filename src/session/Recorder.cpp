#include "session/Recorder.h"

#include <cstdio>
#include <cstring>

#include "log/Log.h"
#include "platform/Clock.h"
#include "platform/StdioFile.h"
#include "stream/PacketFormat.h"

namespace {

constexpr int kRecordBuffer = 0x200000;
constexpr int kRecordBlock = 102400;
constexpr int64_t kRecordCap = 0x80000000LL;
constexpr int kWriteAttempts = 10;
constexpr int kWriteRetryMs = 5;
constexpr uint32_t kDropLogEveryMs = 1000;

// All of the block or nothing: a short write goes on with what is left, so that no
// byte is written twice.
bool WriteAll(std::FILE* file, const unsigned char* data, size_t size) {
    size_t done = 0;
    int attempts = 0;
    while (done < size) {
        done += std::fwrite(data + done, 1, size - done, file);
        if (done < size) {
            if (++attempts >= kWriteAttempts)
                return false;
            std::clearerr(file);
            qx::log::MSleep(kWriteRetryMs);
            continue;
        }
        attempts = 0;
    }
    return true;
}

}  // namespace

Recorder::Recorder(PortStatus& status, SessionSignals& signals, HostCallbacks& callbacks)
    : m_status(status), m_signals(signals), m_callbacks(callbacks) {}

bool Recorder::Begin(const std::string& path) {
    // Created here, so that the host learns at once that the path cannot be written.
    qx::StdioFile file(std::fopen(path.c_str(), "wb+"));
    if (!file) {
        qx::log::DbgviewLog(115, "record file %s cannot be created", path.c_str());
        return false;
    }
    // Unbuffered, so that a write that fails is known at once and exactly.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    {
        CAutoLock lock(&m_lock);
        m_file = std::move(file);
        m_recordBuf.assign(kRecordBuffer, 0);
        m_recordFill = 0;
        m_recordDropped = 0;
        m_recordSize = 0;
    }
    m_recording = true;
    return true;
}

void Recorder::Abandon() {
    m_recording = false;
    CAutoLock lock(&m_lock);
    m_file.reset();
    m_recordBuf.clear();
    m_recordBuf.shrink_to_fit();
}

void Recorder::End() {
    m_recording = false;
    m_signals.record.Post(qx::WakeSignal::kRecord);
}

uint32_t Recorder::RecordSize() {
    CAutoLock lock(&m_lock);
    return m_recordSize;
}

void Recorder::Push(const unsigned char* data, int length, bool wholeChunk) {
    if (!m_recording || data == nullptr || length <= 0)
        return;
    if (!wholeChunk && length < qx::kHeaderSize)
        return;
    CAutoLock lock(&m_lock);
    if (m_recordBuf.empty())
        return;
    if (static_cast<int64_t>(m_recordFill) + length < kRecordBuffer) {
        const bool wasShort = m_recordFill < kRecordBlock;
        std::memcpy(m_recordBuf.data() + m_recordFill, data, static_cast<size_t>(length));
        m_recordFill += length;
        if (wasShort && m_recordFill >= kRecordBlock)
            m_signals.record.Post(qx::WakeSignal::kRecord);
        return;
    }
    m_recordDropped += length;
    const uint32_t now = qx::GetTickCount();
    if (now - m_recordDropLogTick >= kDropLogEveryMs) {
        m_recordDropLogTick = now;
        qx::log::DbgviewLog(115, "record buffer full, %lld bytes dropped",
                            static_cast<long long>(m_recordDropped));
    }
}

int Recorder::TakeBlock_locked(unsigned char* block, bool stopping, bool* finished) {
    int chunk = 0;
    if (m_recordFill >= kRecordBlock)
        chunk = kRecordBlock;
    else if (!m_recording || stopping)
        chunk = m_recordFill;
    *finished = chunk == 0 && (!m_recording || stopping);
    if (chunk > 0) {
        std::memcpy(block, m_recordBuf.data(), static_cast<size_t>(chunk));
        std::memmove(m_recordBuf.data(), m_recordBuf.data() + chunk,
                     static_cast<size_t>(m_recordFill - chunk));
        m_recordFill -= chunk;
    }
    return chunk;
}

void Recorder::Failed() {
    Abandon();
    const HostCallbacks::Message callback = m_callbacks.Exception();
    if (callback.function != nullptr)
        callback.function(m_status.sessionId, 1, callback.user);
}

void Recorder::Run() {
    qx::StdioFile file;
    {
        CAutoLock lock(&m_lock);
        file = std::move(m_file);
    }
    if (!file) {
        Abandon();
        return;
    }
    std::vector<unsigned char> block(kRecordBlock);
    for (;;) {
        // A stopping session still gets what it has buffered onto the disk.
        const bool stopping = m_status.Ending();
        int chunk;
        bool finished;
        {
            CAutoLock lock(&m_lock);
            if (m_recordSize >= kRecordCap) {
                qx::log::DbgviewLog(115, "%s", "record file reached 2 GiB, recording stops");
                break;
            }
            chunk = TakeBlock_locked(block.data(), stopping, &finished);
        }
        if (finished)
            break;
        if (chunk == 0) {
            m_signals.record.Wait(qx::WakeSignal::kRecord);
            continue;
        }
        if (!WriteAll(file.get(), block.data(), static_cast<size_t>(chunk))) {
            file.reset();
            Failed();
            return;
        }
        CAutoLock lock(&m_lock);
        m_recordSize += static_cast<uint32_t>(chunk);
    }
    Abandon();
}
