#include "session/InputStage.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "log/Log.h"
#include "stream/PacketBytes.h"
#include "platform/Clock.h"
#include "stream/KeyPacket.h"

namespace {

// "帧不连续" (frames are not continuous) in GBK.
constexpr char kNotContinuous[] = "\xD6\xA1\xB2\xBB\xC1\xAC\xD0\xF8";
// "………………" in GBK.
constexpr char kEllipsis6[] = "\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD";

constexpr int kMinLatencyThresholdMs = 300;
constexpr int64_t kMaxRenderLagMs = 1000;
// Audio-only streams stop caching after this much audio.
constexpr int64_t kAudioOnlyCacheMs = 100;

// Trailing bytes that may be the start of a marker still arriving.
int PartialMarkerLength(const unsigned char* data, int size) {
    int n = 0;
    while (n < qx::kMarkerSize - 1 && n < size && data[size - 1 - n] == qx::kMarker[0])
        ++n;
    return n;
}

int FirstMarker(const unsigned char* data, int size, int from) {
    if (from >= size)
        return -1;
    const std::vector<int> found =
        qx::IndexOf(data + from, size - from, qx::kMarker, qx::kMarkerSize, 1);
    return found.empty() ? -1 : found[0] + from;
}

bool IsVideoKind(int knd) {
    return knd == qx::kKindH264 || knd == qx::kKindH265;
}

}  // namespace

InputStage::InputStage(PortStatus& status, SessionSignals& signals)
    : m_status(status), m_signals(signals) {}

void InputStage::StopCaching() {
    if (m_caching.exchange(false))
        m_signals.render.Post(qx::WakeSignal::kRender);
}

bool InputStage::IsVideoGap_locked(const H264_PARAM& header) const {
    if (!IsVideoKind(header.knd))
        return false;
    const int64_t lastIdx = m_lastVideoIdx.load();
    return lastIdx != -1 && qx::StampDiff(header.idx, lastIdx) != 1;
}

void InputStage::NoteLiveHeader_locked(const H264_PARAM& header) {
    if (m_cacheTime.load() == 0)
        StopCaching();
    if (IsVideoKind(header.knd)) {
        if (IsVideoGap_locked(header)) {
            qx::log::DbgviewLog(115, "%sCurIdx=%" PRId64 ",LastIdx=%" PRId64, kNotContinuous,
                                header.idx, m_lastVideoIdx.load());
            Reset_locked();
            RestartCaching_locked();
            if (m_onGap)
                m_onGap();
        }
        m_lastVideoIdx = header.idx;
        if (m_firstVideoPts.load() == -1)
            m_firstVideoPts = header.pts;
        if (qx::StampDiff(header.pts, m_firstVideoPts.load()) / 1000 >= m_cacheTime.load())
            StopCaching();
    } else if (header.knd == qx::kKindAudio1 || header.knd == qx::kKindAudio3) {
        if (m_firstAudioPts.load() == -1)
            m_firstAudioPts = header.pts;
        if (qx::StampDiff(header.pts, m_firstAudioPts.load()) / 1000 > kAudioOnlyCacheMs &&
            m_firstVideoPts.load() == -1)
            StopCaching();
    }
    m_lastInputPts = header.pts;
}

int InputStage::InputData(const unsigned char* data, int length) {
    const int mode = m_status.OpenMode();
    if (mode != qx::kModeLive)
        StopCaching();
    if (length < 1 || data == nullptr || m_status.Ending() || m_endOfInput) {
        char text[128];
        std::snprintf(text, sizeof text,
                      "5403,DDrawSession::InputData BorderCheck Error,datalen=%d,data=%p", length,
                      static_cast<const void*>(data));
        qx::log::UpdateLog(4, text);
        return 0;
    }
    CAutoLock lock(&m_lock);
    bool haveHeader = false;
    H264_PARAM header;
    if (mode == qx::kModeLive) {
        const int marker = FirstMarker(data, length, 0);
        if (marker >= 0) {
            if (m_firstInputTick.load() == 0)
                m_firstInputTick = qx::GetTickCount();
            if (static_cast<int64_t>(length) > static_cast<int64_t>(marker) + qx::kHeaderSize) {
                header = qx::ReadHeader(data + marker);
                haveHeader = true;
            }
        }
    }
    // A gap empties the buffer, so such a chunk fits even when the buffer is full.
    const bool gap = haveHeader && IsVideoGap_locked(header);
    const int64_t fillAfter = (gap ? 0 : static_cast<int64_t>(m_srcBuf.Size())) + length;
    if (fillAfter >= m_srcBuf.Capacity()) {
        m_refusedLength = length;
        if (mode == qx::kModeLive)
            qx::log::DbgviewLog(115, "buff is full");
        // The parser may now have to make room for a chunk that can never fit.
        m_signals.parser.Post(qx::WakeSignal::kInput);
        return 0;
    }
    // Only a chunk that is taken updates the bookkeeping: a refused one comes again.
    if (haveHeader) {
        NoteLiveHeader_locked(header);
        m_positions.NoteNewestInput(header.pts);
        if (qx::IsKeyPacket(data, length))
            m_positions.AddKey(header.pts, m_srcBuf.EndPosition());
    }
    if (!m_srcBuf.Append(data, length)) {
        qx::log::DbgviewLog(11, "FastMemcpy Err:30001");
        return 0;
    }
    m_refusedLength = 0;
    m_status.inputFlag = 1;
    m_signals.parser.Post(qx::WakeSignal::kInput);
    return 1;
}

bool InputStage::WaitForRoom(int length, long timeoutMs, const std::function<bool()>& giveUp) {
    std::unique_lock<CCritSec> lock(m_lock);
    const auto fits = [&] {
        return static_cast<int64_t>(m_srcBuf.Size()) + length < m_srcBuf.Capacity();
    };
    const auto done = [&] { return giveUp() || fits(); };
    if (timeoutMs < 0)
        m_room.wait(lock, done);
    else
        m_room.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    return !giveUp() && fits();
}

bool InputStage::Fits(int length) {
    CAutoLock lock(&m_lock);
    return static_cast<int64_t>(m_srcBuf.Size()) + length < m_srcBuf.Capacity();
}

void InputStage::WakeWaiters() {
    { CAutoLock lock(&m_lock); }
    m_room.notify_all();
}

void InputStage::Consumed_locked() {
    m_positions.DropBefore(m_srcBuf.FrontPosition());
    m_room.notify_all();
}

void InputStage::DiscardUnusable_locked(int keepFrom, const char* why) {
    const int size = m_srcBuf.Size();
    int drop = keepFrom;
    if (drop < 0)
        drop = size - PartialMarkerLength(m_srcBuf.Front(), size);
    if (drop <= 0)
        return;
    m_srcBuf.Consume(drop);
    Consumed_locked();
    qx::log::DbgviewLog(115, "discard %d bytes: %s,sid=%d", drop, why, m_status.sessionId);
}

int InputStage::Extract(unsigned char* packet, bool* moved, uint64_t* epoch) {
    CAutoLock lock(&m_lock);
    *epoch = m_epoch.load();
    const int64_t front = m_srcBuf.FrontPosition();
    const int length = m_status.OpenMode() == qx::kModeLive ? ExtractByLength_locked(packet)
                                                            : ExtractByMarkers_locked(packet);
    *moved = m_srcBuf.FrontPosition() != front;
    return length;
}

int InputStage::ExtractByLength_locked(unsigned char* packet) {
    for (;;) {
        const unsigned char* data = m_srcBuf.Front();
        const int fill = m_srcBuf.Size();
        const int p = FirstMarker(data, fill, 0);
        if (p < 0) {
            // Nothing without a marker ever becomes a packet.
            DiscardUnusable_locked(-1, "no marker");
            return 0;
        }
        if (m_status.Ending())
            return 0;
        if (p > 0) {
            DiscardUnusable_locked(p, "before marker");
            continue;
        }
        if (fill <= qx::kHeaderSize)
            return 0;
        const H264_PARAM header = qx::ReadHeader(data);
        const int64_t n = static_cast<int64_t>(header.nal_len) + qx::kPacketOverhead;
        if (header.nal_len < 0 || n >= m_srcBuf.Capacity()) {
            // A length the buffer can never hold: skip to the next marker and resync.
            DiscardUnusable_locked(FirstMarker(data, fill, qx::kMarkerSize), "bad nal_len");
            continue;
        }
        if (fill < n)
            return 0;
        const int length = static_cast<int>(n);
        std::memcpy(packet, data, static_cast<size_t>(length));
        m_srcBuf.Consume(length);
        Consumed_locked();
        return length;
    }
}

void InputStage::UnblockRefused_locked() {
    const unsigned char* data = m_srcBuf.Front();
    const int fill = m_srcBuf.Size();
    const int refused = m_refusedLength;
    if (refused == 0 || static_cast<int64_t>(fill) + refused < m_srcBuf.Capacity())
        return;
    const std::vector<int> markers = qx::IndexOf(data, fill, qx::kMarker, qx::kMarkerSize, 1);
    if (markers.empty()) {
        DiscardUnusable_locked(-1, "no marker");
        return;
    }
    if (markers[0] > 0) {
        DiscardUnusable_locked(markers[0], "before marker");
        return;
    }
    if (fill > qx::kHeaderSize) {
        const H264_PARAM header = qx::ReadHeader(data);
        const int64_t n = static_cast<int64_t>(header.nal_len) + qx::kPacketOverhead;
        // Its next marker would have to start at n and fit behind it.
        if (header.nal_len <= 0 || n + qx::kMarkerSize > m_srcBuf.Capacity() ||
            fill >= n + qx::kMarkerSize)
            DiscardUnusable_locked(-1, "unterminated packet");
    }
}

int InputStage::ExtractByMarkers_locked(unsigned char* packet) {
    const unsigned char* data = m_srcBuf.Front();
    const int fill = m_srcBuf.Size();
    const std::vector<int> markers = qx::IndexOf(data, fill, qx::kMarker, qx::kMarkerSize, 2);
    if (markers.size() < 2) {
        UnblockRefused_locked();
        return 0;
    }
    const int p0 = markers[0];
    const int p1 = markers[1];
    const int s = p1 - p0;
    if (s <= qx::kHeaderSize) {
        m_srcBuf.Consume(p1);
        Consumed_locked();
        return 0;
    }
    const H264_PARAM header = qx::ReadHeader(data + p0);
    const int64_t n = static_cast<int64_t>(header.nal_len) + qx::kPacketOverhead;
    const bool good = s == n && header.nal_len > 0 && n <= m_srcBuf.Capacity();
    if (good)
        std::memcpy(packet, data + p0, static_cast<size_t>(s));
    m_srcBuf.Consume(p1);
    Consumed_locked();
    if (!good) {
        qx::log::DbgviewLog(5, std::string(kEllipsis6) + "PARSE_ERRO_PACKET");
        return 0;
    }
    return s;
}

int64_t InputStage::LatencyControl() {
    const std::optional<PositionIndex::Key> oldest = m_positions.Oldest();
    const int64_t lastRendered = m_positions.LastRendered();
    // A last rendered pts of -1 means nothing has been shown since the restart.
    if (!oldest || oldest->pts == 0 || lastRendered == 0 || lastRendered == -1)
        return 0;
    const int64_t newest = m_positions.NewestInput();
    const int64_t idiff1 = (newest - oldest->pts) / 1000;
    const int64_t idiff2 = (newest - lastRendered) / 1000;
    const int cache = m_cacheTime.load();
    const int threshold = cache > kMinLatencyThresholdMs ? cache : kMinLatencyThresholdMs;
    if (idiff1 < threshold || idiff2 < kMaxRenderLagMs)
        return 0;
    CAutoLock lock(&m_lock);
    const int64_t offset = oldest->position - m_srcBuf.FrontPosition();
    if (offset < 0 || offset >= m_srcBuf.Size() ||
        !qx::IsKeyPacket(m_srcBuf.Front() + offset, m_srcBuf.Size() - offset)) {
        m_positions.Remove(oldest->pts);
        return 0;
    }
    qx::log::DbgviewLog(115, "lost idiff2=%" PRId64 ",idiff1=%" PRId64 " pos=%d", idiff2, idiff1,
                        static_cast<int>(offset));
    return oldest->position;
}

bool InputStage::DropBefore(int64_t position) {
    CAutoLock lock(&m_lock);
    const int64_t drop = position - m_srcBuf.FrontPosition();
    if (drop < 1 || drop > m_srcBuf.Size())
        return false;
    m_srcBuf.Consume(static_cast<int>(drop));
    Consumed_locked();
    return true;
}

void InputStage::Reset() {
    CAutoLock lock(&m_lock);
    Reset_locked();
}

void InputStage::Reset_locked() {
    ++m_epoch;
    m_srcBuf.Clear();
    m_positions.Clear();
    m_room.notify_all();
}

void InputStage::ClearSource() {
    CAutoLock lock(&m_lock);
    ++m_epoch;
    m_srcBuf.Clear();
    m_room.notify_all();
}

void InputStage::RestartCaching_locked() {
    m_firstInputTick = 0;
    m_positions.NoteLastRendered(-1);
    m_firstVideoPts = -1;
    m_firstAudioPts = -1;
    m_caching = true;
}

int InputStage::Fill() {
    CAutoLock lock(&m_lock);
    return m_srcBuf.Size();
}

int64_t InputStage::LastInputPts() {
    CAutoLock lock(&m_lock);
    return m_lastInputPts;
}
