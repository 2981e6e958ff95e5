#include "audio/CStreamAudio.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "log/Log.h"
#include "platform/WorkerThread.h"

namespace {

// The longest the feeding thread sleeps before it looks at the sink again.
constexpr int kMaxWaitMs = 20;

}  // namespace

CStreamAudio::CStreamAudio() = default;

CStreamAudio::~CStreamAudio() {
    Close();
}

int CStreamAudio::Open(QxWindow window, CStreamAudioHandler* handler, int channels, int rate,
                       int bits, int formatId, std::unique_ptr<qx::audio::AudioSink> sink) {
    qx::log::DbgviewLog(5, std::string("PLAY SOUND 5"));
    Close();
    try {
        m_formatId = formatId;
        if (channels <= 0 || rate <= 0 || (bits != 8 && bits != 16))
            return 0;
        m_format = {channels, rate, bits};
        m_silenceByte = bits == 8 ? 128 : 0;
        const int align = m_format.BytesPerFrame();
        m_blockBytes = (bits == 8 ? 160 : 320) / align * align;
        m_bufferBytes = kBlocks * m_blockBytes;
        std::unique_ptr<qx::audio::AudioSink> chosen =
            sink ? std::move(sink) : qx::audio::OpenSink(m_format);
        if (!chosen)
            return 0;
        // The first lap of the ring is silence, never whatever memory held.
        const std::vector<unsigned char> silence(static_cast<size_t>(m_bufferBytes), m_silenceByte);
        const size_t primed = chosen->Write(silence.data(), silence.size());
        if (primed == 0)
            return 0;
        {
            std::lock_guard<std::mutex> lock(m_sinkLock);
            m_sink = std::move(chosen);
        }
        m_written = static_cast<int64_t>(primed);
        m_handler = handler;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_running = true;
            m_opened = true;
        }
        // Marked running before the thread exists, so that a Close that comes first
        // still joins it.
        m_thread = qx::StartThread("sound", [this] { Feed(); });
        return 1;
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(m_sinkLock);
            m_sink.reset();
        }
        m_handler = nullptr;
        std::lock_guard<std::mutex> lock(m_lock);
        m_running = false;
        m_opened = false;
        return 0;
    }
}

int CStreamAudio::Close() {
    try {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_running = false;
        }
        m_wake.notify_all();
        if (m_thread.joinable()) {
            m_thread.join();
            qx::log::DbgviewLog(0,
                                std::string("3----------------------------CStreamAudio::Close\n"));
        }
        {
            std::lock_guard<std::mutex> sinkLock(m_sinkLock);
            if (m_sink) {
                m_sink->Close();
                m_sink.reset();
            }
        }
        std::lock_guard<std::mutex> lock(m_lock);
        m_opened = false;
    } catch (...) {
        qx::log::DbgviewLog(5, std::string("Audio close fail"));
    }
    return 1;
}

std::string CStreamAudio::SinkName() {
    std::lock_guard<std::mutex> lock(m_sinkLock);
    return m_sink ? m_sink->Name() : "";
}

int CStreamAudio::IsOpened() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_opened ? 1 : 0;
}

int CStreamAudio::SetVolume(int32_t volume) {
    m_volume = volume < -10000 ? -10000 : (volume > 0 ? 0 : volume);
    return 1;
}

int CStreamAudio::GetVolume(int32_t* volume) const {
    if (!IsOpened() || volume == nullptr)
        return 0;
    *volume = m_volume;
    return 1;
}

int CStreamAudio::QueuedMs(bool withPartInHand) {
    std::lock_guard<std::mutex> lock(m_sinkLock);
    if (!m_sink)
        return 0;
    const int64_t queued =
        m_written + (withPartInHand ? m_filling.load() : 0) - m_sink->PlayedBytes();
    return static_cast<int>(queued * 1000 / m_format.BytesPerSecond());
}

void CStreamAudio::Feed() {
    const int bytesPerSecond = m_format.BytesPerSecond();
    for (;;) {
        int waitMs = kMaxWaitMs;
        {
            const int64_t played = PlayedBytes();
            const int64_t nextBoundary = (played / m_blockBytes + 1) * m_blockBytes;
            const int64_t untilBoundary = (nextBoundary - played) * 1000 / bytesPerSecond + 1;
            if (untilBoundary < waitMs)
                waitMs = static_cast<int>(untilBoundary);
        }
        {
            std::unique_lock<std::mutex> lock(m_lock);
            if (m_wake.wait_for(lock, std::chrono::milliseconds(waitMs),
                                [this] { return !m_running; }))
                break;
        }
        try {
            Refill();
        } catch (...) {
            qx::log::DbgviewLog(5, std::string("DSOUND Err"));
            break;
        }
    }
}

int64_t CStreamAudio::PlayedBytes() {
    std::lock_guard<std::mutex> lock(m_sinkLock);
    return m_sink->PlayedBytes();
}

bool CStreamAudio::Refill() {
    const int64_t played = PlayedBytes();
    // What the listener has heard since the last refill, in whole blocks.
    int64_t span = played + m_bufferBytes - m_written;
    span -= span % m_blockBytes;
    if (span <= 0)
        return true;
    const int writeOffset = static_cast<int>(m_written.load() % m_bufferBytes);
    const int first = static_cast<int>(std::min<int64_t>(span, m_bufferBytes - writeOffset));
    const int second = static_cast<int>(span - first);
    std::vector<unsigned char> part(static_cast<size_t>(std::max(first, second)));
    for (const int bytes : {first, second}) {
        if (bytes == 0)
            continue;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (!m_running)
                return false;
        }
        // Silence unless the handler has sound: never the previous lap again.
        std::memset(part.data(), m_silenceByte, static_cast<size_t>(bytes));
        m_filling = bytes;
        Deliver(part.data(), bytes);
        {
            std::lock_guard<std::mutex> lock(m_sinkLock);
            // What the device did not take is lost: it counts as not written, so the
            // next refill asks for it again.
            m_written +=
                static_cast<int64_t>(m_sink->Write(part.data(), static_cast<size_t>(bytes)));
            m_filling = 0;
        }
    }
    return true;
}

void CStreamAudio::Deliver(unsigned char* part, int bytes) {
    if (m_handler == nullptr)
        return;
    m_handler->OnAudioData(part, bytes);
    ApplyVolume(part, bytes);
}

void CStreamAudio::ApplyVolume(unsigned char* part, int bytes) const {
    const int32_t volume = m_volume;
    if (volume >= 0)
        return;
    // Hundredths of a decibel to a linear factor in 16.16 fixed point.
    const int32_t gain =
        static_cast<int32_t>(std::lround(65536.0 * std::pow(10.0, volume / 2000.0)));
    if (m_format.bits == 16) {
        auto* samples = reinterpret_cast<int16_t*>(part);
        for (int i = 0; i < bytes / 2; ++i)
            samples[i] = static_cast<int16_t>((static_cast<int32_t>(samples[i]) * gain) >> 16);
    } else {
        for (int i = 0; i < bytes; ++i)
            part[i] = static_cast<unsigned char>(128 + (((part[i] - 128) * gain) >> 16));
    }
}
