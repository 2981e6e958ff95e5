#include "session/PacketParser.h"

#include "log/Log.h"
#include "stream/H264UtilsA.h"
#include "stream/KeyPacket.h"

PacketParser::PacketParser(PortStatus& status, InputStage& input, VideoPipeline& video,
                           AudioPath& audio)
    : m_status(status),
      m_input(input),
      m_video(video),
      m_audio(audio),
      m_packetBuf(qx::kStreamBufferSize) {}

bool PacketParser::ParseStep() {
    m_audio.ServicePlayer();
    const size_t capacity = static_cast<size_t>(m_input.Capacity());
    if (m_packetBuf.size() < capacity)
        m_packetBuf.resize(capacity);
    const int length = m_input.Extract(m_packetBuf.data(), &m_moved, &m_epoch);
    if (length == 0) {
        // All that will come has been cut out: the decoder may give up what it holds.
        if (!m_moved && m_input.SourceEnded() && !m_endTold) {
            m_endTold = true;
            m_video.EndOfStream();
        }
        return false;
    }
    m_endTold = false;
    const H264_PARAM header = qx::ReadHeader(m_packetBuf.data());
    VideoStep(header, length);
    m_audio.AudioStep(header, m_packetBuf.data(), length);
    if (m_status.OpenMode() == qx::kModeLive)
        LatencyTrim();
    return true;
}

void PacketParser::VideoStep(const H264_PARAM& header, int packetLength) {
    if (header.knd != qx::kKindH264 && header.knd != qx::kKindH265)
        return;
    const unsigned char* payload = m_packetBuf.data() + qx::kHeaderSize;
    if (!H264UtilsA::StartNalFlag(payload, header.nal_len))
        return;
    m_video.QueuePacket(m_packetBuf.data(), packetLength,
                        qx::IsKeyPayload(payload, header.nal_len, header.knd),
                        [this] { return m_input.Epoch() != m_epoch; });
}

void PacketParser::LatencyTrim() {
    const int64_t position = m_input.LatencyControl();
    if (position <= 0 || !m_input.DropBefore(position))
        return;
    m_video.ClearFrames();
    m_audio.Queue().Clear();
    qx::log::DbgviewLog(115, std::string("lost frame"));
}
