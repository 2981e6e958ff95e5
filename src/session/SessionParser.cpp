// The parser thread's pass: packets out of the source buffer, video into the frame
// buffer, and in live mode the cut back to a key packet when display falls behind.
#include <cinttypes>
#include <cstring>

#include "log/RecH264Data.h"
#include "session/DDrawSession.h"
#include "stream/H264UtilsA.h"
#include "stream/KeyPacket.h"

namespace {

constexpr int kFrameWaitMs = 10;
// The pause of a pass that found nothing, and the pause between passes.
constexpr int kNoPacketWaitMs = 5 + 1;

// "………………" in GBK.
constexpr char kEllipsis6[] = "\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD";

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
        RecH264Data::IndexOf(data + from, size - from, qx::kMarker, qx::kMarkerSize, 1);
    return found.empty() ? -1 : found[0] + from;
}

}  // namespace

void DDrawSession::DiscardUnusable(int keepFrom, const char* why) {
    const int size = m_srcBuf.Size();
    int drop = keepFrom;
    if (drop < 0)
        drop = size - PartialMarkerLength(m_srcBuf.Front(), size);
    if (drop <= 0)
        return;
    m_srcBuf.Consume(drop);
    m_positions.DropBefore(m_srcBuf.FrontPosition());
    RecH264Data::DbgviewLog(115, "discard %d bytes: %s,sid=%d", drop, why, m_sessionId);
}

int DDrawSession::ExtractByLength() {
    CAutoLock lock(&m_srcLock);
    for (;;) {
        const unsigned char* data = m_srcBuf.Front();
        const int fill = m_srcBuf.Size();
        const int p = FirstMarker(data, fill, 0);
        if (p < 0) {
            // Nothing without a marker ever becomes a packet.
            DiscardUnusable(-1, "no marker");
            return 0;
        }
        if (PlayState() == qx::kStateStop)
            return 0;
        if (p > 0) {
            DiscardUnusable(p, "before marker");
            continue;
        }
        if (fill <= qx::kHeaderSize)
            return 0;
        const H264_PARAM header = qx::ReadHeader(data);
        const int64_t n = static_cast<int64_t>(header.nal_len) + qx::kPacketOverhead;
        if (header.nal_len < 0 || n >= m_srcBuf.Capacity()) {
            // A length the buffer can never hold: skip to the next marker and resync.
            DiscardUnusable(FirstMarker(data, fill, qx::kMarkerSize), "bad nal_len");
            continue;
        }
        if (fill < n)
            return 0;
        const int length = static_cast<int>(n);
        std::memcpy(m_packetBuf.get(), data, static_cast<size_t>(length));
        m_srcBuf.Consume(length);
        m_positions.DropBefore(m_srcBuf.FrontPosition());
        return length;
    }
}

int DDrawSession::ExtractByMarkers() {
    CAutoLock lock(&m_srcLock);
    const unsigned char* data = m_srcBuf.Front();
    const int fill = m_srcBuf.Size();
    const std::vector<int> markers =
        RecH264Data::IndexOf(data, fill, qx::kMarker, qx::kMarkerSize, 2);
    if (markers.size() < 2) {
        // A buffer too full for the next chunk that cannot become a packet either would
        // refuse input for good.
        const int refused = m_refusedLength.load();
        if (refused == 0 || static_cast<int64_t>(fill) + refused < m_srcBuf.Capacity())
            return 0;
        if (markers.empty()) {
            DiscardUnusable(-1, "no marker");
            return 0;
        }
        const int p0 = markers[0];
        if (p0 > 0) {
            DiscardUnusable(p0, "before marker");
            return 0;
        }
        if (fill > qx::kHeaderSize) {
            const H264_PARAM header = qx::ReadHeader(data);
            const int64_t n = static_cast<int64_t>(header.nal_len) + qx::kPacketOverhead;
            // Its next marker would have to start at n and fit behind it.
            if (header.nal_len <= 0 || n + qx::kMarkerSize > m_srcBuf.Capacity() ||
                (fill >= n + qx::kMarkerSize))
                DiscardUnusable(-1, "unterminated packet");
        }
        return 0;
    }
    const int p0 = markers[0];
    const int p1 = markers[1];
    const int s = p1 - p0;
    if (s <= qx::kHeaderSize) {
        m_srcBuf.Consume(p1);
        m_positions.DropBefore(m_srcBuf.FrontPosition());
        return 0;
    }
    const H264_PARAM header = qx::ReadHeader(data + p0);
    const int64_t n = static_cast<int64_t>(header.nal_len) + qx::kPacketOverhead;
    const bool good = s == n && header.nal_len > 0 && n <= m_srcBuf.Capacity();
    if (good)
        std::memcpy(m_packetBuf.get(), data + p0, static_cast<size_t>(s));
    m_srcBuf.Consume(p1);
    m_positions.DropBefore(m_srcBuf.FrontPosition());
    if (!good) {
        RecH264Data::DbgviewLog(5, std::string(kEllipsis6) + "PARSE_ERRO_PACKET");
        return 0;
    }
    return s;
}

bool DDrawSession::ParseStep() {
    const qx::WakeBoard::Ticket ticket = m_wake.Take();
    const int length = OpenMode() == 0 ? ExtractByLength() : ExtractByMarkers();
    if (length == 0) {
        m_wake.Wait(ticket, qx::WakeBoard::Bit(qx::WakeBoard::kSource), kNoPacketWaitMs);
        return false;
    }
    const H264_PARAM header = qx::ReadHeader(m_packetBuf.get());
    VideoStep(header, length);
    AudioStep(header, length);
    if (OpenMode() == 0)
        LatencyTrim();
    return true;
}

void DDrawSession::VideoStep(const H264_PARAM& header, int packetLength) {
    if (header.knd != qx::kKindH264 && header.knd != qx::kKindH265)
        return;
    const unsigned char* payload = m_packetBuf.get() + qx::kHeaderSize;
    const int payloadLength = header.nal_len;
    if (!H264UtilsA::StartNalFlag(payload, payloadLength))
        return;
    const bool startsKey = qx::IsKeyPayload(payload, payloadLength, header.knd);
    while (PlayState() != qx::kStateStop) {
        const qx::WakeBoard::Ticket ticket = m_wake.Take();
        {
            CAutoLock lock(&m_frameLock);
            const int fill = m_frameBuf.Size();
            const bool fits = static_cast<int64_t>(fill) + packetLength <= m_frameBuf.Capacity();
            if (fits && m_keyFrameWait && OpenMode() != 0) {
                if (!startsKey) {
                    // Nothing before the next key picture can be decoded after a seek.
                    m_AudioCirQueue->Clear();
                    m_frameBuf.Clear();
                    m_FrameBuffCount = 0;
                    return;
                }
                m_keyFrameSeen = true;
                m_keyFrameWait = false;
            }
            if (fits && (OpenMode() != 0 || fill < 1)) {
                m_frameBuf.Append(m_packetBuf.get(), packetLength);
                ++m_FrameBuffCount;
                RecH264Data::DbgviewLog(5, "m_FrameBuffCount = %d", m_FrameBuffCount);
                m_wake.Post(qx::WakeBoard::kFrames);
                return;
            }
        }
        m_wake.Wait(ticket, qx::WakeBoard::Bit(qx::WakeBoard::kFrames), kFrameWaitMs);
    }
}

void DDrawSession::LatencyTrim() {
    const int64_t position = LatencyControl();
    if (position <= 0)
        return;
    {
        CAutoLock lock(&m_srcLock);
        const int64_t drop = position - m_srcBuf.FrontPosition();
        if (drop < 1 || drop > m_srcBuf.Size())
            return;
        m_srcBuf.Consume(static_cast<int>(drop));
        m_positions.DropBefore(position);
    }
    {
        CAutoLock lock(&m_frameLock);
        m_frameBuf.Clear();
        m_FrameBuffCount = 0;
    }
    m_AudioCirQueue->Clear();
    m_wake.Post(qx::WakeBoard::kFrames);
    RecH264Data::DbgviewLog(115, std::string("lost frame"));
}
