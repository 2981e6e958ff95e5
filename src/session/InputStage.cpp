#include "session/InputStage.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "log/Log.h"
#include "stream/PacketBytes.h"
#include "platform/Clock.h"
#include "stream/H264UtilsA.h"
#include "stream/KeyPacket.h"
#include "stream/NalUnits.h"

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

constexpr int64_t kLengthUnknown = 0;
constexpr int64_t kLengthImpossible = -1;

// The whole length of the packet that starts at data, once enough of it is there to
// judge. A length beyond what the buffers hold at first is only believed for a video
// packet whose payload starts as one: a damaged length field would otherwise swallow
// megabytes of good packets behind it.
int64_t PacketLength(const unsigned char* data, int available) {
    if (available <= qx::kHeaderSize)
        return kLengthUnknown;
    const H264_PARAM header = qx::ReadHeader(data);
    const int64_t n = static_cast<int64_t>(header.nal_len) + qx::kPacketOverhead;
    if (header.nal_len < 0 || n >= qx::kMaxStreamBufferSize)
        return kLengthImpossible;
    if (n < qx::kStreamBufferSize)
        return n;
    constexpr int kStartCode = 4;
    if (available < qx::kHeaderSize + kStartCode)
        return kLengthUnknown;
    const bool startsAsVideo =
        IsVideoKind(header.knd) && H264UtilsA::StartNalFlag(data + qx::kHeaderSize, kStartCode);
    return startsAsVideo ? n : kLengthImpossible;
}

// Whole video packets with a picture in the first size bytes: what a cut drops.
int64_t CountPictures(const unsigned char* data, int size) {
    int64_t pictures = 0;
    int p = FirstMarker(data, size, 0);
    while (p >= 0) {
        const int64_t n = PacketLength(data + p, size - p);
        if (n <= 0 || n > size - p) {
            p = FirstMarker(data, size, p + qx::kMarkerSize);
            continue;
        }
        if (qx::CarriesPicture(data + p, n))
            ++pictures;
        p = FirstMarker(data, size, p + static_cast<int>(n));
    }
    return pictures;
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

void InputStage::NotePacket_locked(const H264_PARAM& header, const unsigned char* packet,
                                   int64_t position) {
    if (m_firstInputTick.load() == 0)
        m_firstInputTick = qx::GetTickCount();
    if (m_cacheTime.load() == 0)
        StopCaching();
    if (IsVideoKind(header.knd)) {
        if (IsVideoGap_locked(header)) {
            qx::log::DbgviewLog(115, "%sCurIdx=%" PRId64 ",LastIdx=%" PRId64, kNotContinuous,
                                header.idx, m_lastVideoIdx.load());
            // What came before the gap goes; the packet after it starts anew.
            const int cut = static_cast<int>(position - m_srcBuf.FrontPosition());
            m_status.stats.NoteDropped(CountPictures(m_srcBuf.Front(), cut));
            m_srcBuf.Consume(cut);
            ++m_epoch;
            m_positions.Clear();
            m_room.notify_all();
            RestartCaching_locked();
            if (m_onGap)
                m_onGap();
        }
        m_lastVideoIdx = header.idx;
        m_status.stats.NoteArrival(header.pts);
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
    m_positions.NoteNewestInput(header.pts);
    if (qx::IsKeyPacket(packet, static_cast<int64_t>(header.nal_len) + qx::kPacketOverhead))
        m_positions.AddKey(header.pts, position);
}

void InputStage::NoteArrivals_locked() {
    for (;;) {
        const int64_t front = m_srcBuf.FrontPosition();
        int64_t from = std::max(m_walkPosition, front);
        if (m_walkClaimedEnd >= from) {
            // The payload of the last packet is skipped only when its length is borne
            // out by a marker behind it; a damaged length must not hide the next header.
            const int64_t claimed = m_walkClaimedEnd - front;
            if (claimed + qx::kMarkerSize > m_srcBuf.Size())
                return;
            if (FirstMarker(m_srcBuf.Front() + claimed, qx::kMarkerSize, 0) == 0)
                from = m_walkClaimedEnd;
            m_walkClaimedEnd = -1;
        }
        const int offset = static_cast<int>(from - front);
        const unsigned char* data = m_srcBuf.Front() + offset;
        const int available = m_srcBuf.Size() - offset;
        const int p = FirstMarker(data, available, 0);
        if (p < 0) {
            m_walkPosition = from + available - PartialMarkerLength(data, available);
            return;
        }
        m_walkPosition = from + p;
        const int64_t n = PacketLength(data + p, available - p);
        if (n == kLengthUnknown)
            return;
        if (n == kLengthImpossible) {
            m_walkPosition += qx::kMarkerSize;
            continue;
        }
        // Each packet is judged once it is whole, however the host cut the bytes.
        if (available - p < n)
            return;
        m_walkPosition += qx::kHeaderSize;
        m_walkClaimedEnd = from + p + n;
        NotePacket_locked(qx::ReadHeader(data + p), data + p, from + p);
    }
}

bool InputStage::MakeRoom_locked(const unsigned char* data, int length) {
    const int64_t fill = m_srcBuf.Size();
    const int64_t capacity = m_srcBuf.Capacity();
    if (fill + length < capacity)
        return true;
    // What must be held whole before anything can leave the buffer: the packet at its
    // front (or, empty, the chunk), with the marker of the next one behind it. Anything
    // smaller fits once the parser has taken what lies before it.
    int64_t packet = 0;
    if (FirstMarker(m_srcBuf.Front(), std::min<int>(fill, qx::kMarkerSize), 0) == 0)
        packet = PacketLength(m_srcBuf.Front(), static_cast<int>(fill));
    else if (fill == 0 && FirstMarker(data, std::min(length, qx::kMarkerSize), 0) == 0)
        packet = PacketLength(data, length);
    packet = std::max<int64_t>(packet, 0);
    int64_t needed =
        std::max(packet + qx::kHeaderSize + qx::kMarkerSize, fill == 0 ? int64_t{length} + 1 : 0);
    // The marker rule cuts a whole packet only at the marker behind it, so a buffer
    // that holds just that packet can never empty until this chunk is in.
    if (m_status.OpenMode() != qx::kModeLive && packet > 0 && fill == packet)
        needed = std::max(needed, fill + length + 1);
    if (needed <= capacity || needed > qx::kMaxStreamBufferSize)
        return false;
    constexpr int64_t kStep = 0x100000;
    const int64_t wanted = std::max(needed, fill + length + 1);
    const int64_t grown =
        std::min<int64_t>(qx::kMaxStreamBufferSize, (wanted + kStep - 1) / kStep * kStep);
    return m_srcBuf.Grow(static_cast<int>(grown)) && fill + length < m_srcBuf.Capacity();
}

int InputStage::Capacity() {
    CAutoLock lock(&m_lock);
    return m_srcBuf.Capacity();
}

int InputStage::InputData(const unsigned char* data, int length, bool* parseHere) {
    if (parseHere != nullptr)
        *parseHere = false;
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
    Appended appended;
    {
        CAutoLock lock(&m_lock);
        appended = Append_locked(data, length, mode);
    }
    if (parseHere != nullptr && mode == qx::kModeLive && appended == Appended::kTaken)
        *parseHere = true;
    else if (appended != Appended::kFailed)
        m_signals.parser.Post(qx::WakeSignal::kInput);
    return appended == Appended::kTaken ? 1 : 0;
}

InputStage::Appended InputStage::Append_locked(const unsigned char* data, int length, int mode) {
    if (!MakeRoom_locked(data, length)) {
        m_refusedLength = length;
        if (mode == qx::kModeLive)
            qx::log::DbgviewLog(115, "buff is full");
        // The parser may now have to make room for a chunk that can never fit.
        return Appended::kRefused;
    }
    if (!m_srcBuf.Append(data, length)) {
        qx::log::DbgviewLog(11, "FastMemcpy Err:30001");
        return Appended::kFailed;
    }
    m_status.stats.NoteInput(length);
    if (mode == qx::kModeLive)
        NoteArrivals_locked();
    m_refusedLength = 0;
    m_status.inputFlag = 1;
    return Appended::kTaken;
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
        const int64_t n = PacketLength(data, fill);
        if (n == kLengthUnknown)
            return 0;
        if (n == kLengthImpossible) {
            // A length no buffer can hold: skip to the next marker and resync.
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
    const int64_t n = PacketLength(data, fill);
    // Its next marker would have to start at n and fit behind it.
    if (n == kLengthImpossible || n + qx::kMarkerSize > qx::kMaxStreamBufferSize ||
        (n > 0 && fill >= n + qx::kMarkerSize))
        DiscardUnusable_locked(-1, "unterminated packet");
}

int InputStage::ExtractByMarkers_locked(unsigned char* packet) {
    const unsigned char* data = m_srcBuf.Front();
    const int fill = m_srcBuf.Size();
    const std::vector<int> markers = qx::IndexOf(data, fill, qx::kMarker, qx::kMarkerSize, 2);
    if (markers.size() < 2) {
        if (m_sourceEnded)
            return ExtractLast_locked(packet);
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

int InputStage::ExtractLast_locked(unsigned char* packet) {
    const int fill = m_srcBuf.Size();
    const int p = FirstMarker(m_srcBuf.Front(), fill, 0);
    if (p < 0 || fill - p <= qx::kHeaderSize)
        return 0;
    const H264_PARAM header = qx::ReadHeader(m_srcBuf.Front() + p);
    const int64_t n = static_cast<int64_t>(header.nal_len) + qx::kPacketOverhead;
    if (header.nal_len <= 0 || fill - p < n)
        return 0;
    const int length = static_cast<int>(n);
    std::memcpy(packet, m_srcBuf.Front() + p, static_cast<size_t>(length));
    m_srcBuf.Consume(p + length);
    Consumed_locked();
    return length;
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
    m_status.stats.NoteDropped(CountPictures(m_srcBuf.Front(), static_cast<int>(drop)));
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
    m_sourceEnded = false;
    m_srcBuf.Clear();
    m_positions.Clear();
    m_room.notify_all();
}

void InputStage::ClearSource() {
    CAutoLock lock(&m_lock);
    ++m_epoch;
    m_sourceEnded = false;
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
