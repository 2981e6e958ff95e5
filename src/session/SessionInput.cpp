#include <cinttypes>

#include "log/RecH264Data.h"
#include "platform/Clock.h"
#include "session/DDrawSession.h"
#include "stream/KeyPacket.h"

namespace {

// "帧不连续" (frames are not continuous) in GBK.
constexpr char kNotContinuous[] = "\xD6\xA1\xB2\xBB\xC1\xAC\xD0\xF8";

}  // namespace

bool DDrawSession::IsVideoGap(const H264_PARAM& header) const {
    if (header.knd != qx::kKindH264 && header.knd != qx::kKindH265)
        return false;
    const int64_t lastIdx = m_lastVideoIdx.load();
    return lastIdx != -1 && qx::StampDiff(header.idx, lastIdx) != 1;
}

void DDrawSession::NoteLiveHeader(const H264_PARAM& header) {
    if (m_cacheTime.load() == 0)
        m_caching = false;
    if (header.knd == qx::kKindH264 || header.knd == qx::kKindH265) {
        if (IsVideoGap(header)) {
            RecH264Data::DbgviewLog(115, "%sCurIdx=%" PRId64 ",LastIdx=%" PRId64, kNotContinuous,
                                    header.idx, m_lastVideoIdx.load());
            ResetBuffers();
            EmptyRenderQueue();
        }
        m_lastVideoIdx = header.idx;
        if (m_firstVideoPts.load() == -1)
            m_firstVideoPts = header.pts;
        if (qx::StampDiff(header.pts, m_firstVideoPts.load()) / 1000 >= m_cacheTime.load())
            m_caching = false;
    } else if (header.knd == qx::kKindAudio1 || header.knd == qx::kKindAudio3) {
        if (m_firstAudioPts.load() == -1)
            m_firstAudioPts = header.pts;
        // Audio-only streams stop caching after 100 ms of audio.
        if (qx::StampDiff(header.pts, m_firstAudioPts.load()) / 1000 > 100 &&
            m_firstVideoPts.load() == -1) {
            m_caching = false;
        }
    }
    CAutoLock lock(&m_lastInputPtsLock);
    m_lastInputPts = header.pts;
}

int DDrawSession::InputData(const unsigned char* data, int length) {
    const int state = PlayState();
    const int mode = OpenMode();
    if (mode != 0)
        m_caching = false;

    if (length < 1 || data == nullptr || state == qx::kStateStop || !m_initialised ||
        m_endOfInput) {
        char text[128];
        std::snprintf(text, sizeof text,
                      "5403,DDrawSession::InputData BorderCheck Error,datalen=%d,data=%p", length,
                      static_cast<const void*>(data));
        RecH264Data::UpdateLog(4, text);
        return 0;
    }

    CAutoLock lock(&m_srcLock);
    bool haveHeader = false;
    H264_PARAM header;
    if (mode == 0) {
        const std::vector<int> marker =
            RecH264Data::IndexOf(data, length, qx::kMarker, qx::kMarkerSize, 1);
        if (!marker.empty()) {
            if (m_firstInputTick.load() == 0)
                m_firstInputTick = qx::GetTickCount();
            if (static_cast<int64_t>(length) > static_cast<int64_t>(marker[0]) + qx::kHeaderSize) {
                header = qx::ReadHeader(data + marker[0]);
                haveHeader = true;
            }
        }
    }

    // A gap empties the buffer, so such a chunk fits even when the buffer is full.
    const bool gap = haveHeader && IsVideoGap(header);
    const int64_t fillAfter = (gap ? 0 : static_cast<int64_t>(m_srcBuf.Size())) + length;
    if (fillAfter >= m_srcBuf.Capacity()) {
        m_refusedLength = length;
        if (mode == 0)
            RecH264Data::DbgviewLog(115, "buff is full");
        return 0;
    }

    // Only a chunk that is taken updates the bookkeeping: a refused one comes again.
    if (haveHeader) {
        NoteLiveHeader(header);
        m_positions.NoteNewestInput(header.pts);
        if (qx::IsKeyPacket(data, length))
            m_positions.AddKey(header.pts, m_srcBuf.EndPosition());
    }
    if (!m_srcBuf.Append(data, length)) {
        RecH264Data::DbgviewLog(11, "FastMemcpy Err:30001");
        return 0;
    }
    m_refusedLength = 0;
    m_inputFlag = 1;
    m_wake.Post(qx::WakeBoard::kSource);
    // A live port records what the host hands over, as it came, whatever its size.
    if (mode == 0)
        RecordPush(data, length, true);
    return 1;
}
