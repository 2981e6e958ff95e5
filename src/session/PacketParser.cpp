#include "session/PacketParser.h"

#include <utility>

#include "log/Log.h"
#include "stream/H264UtilsA.h"
#include "stream/KeyPacket.h"

namespace {

// The parse turn for as long as it lives, when it was free. Nobody waits for it: a
// thread that finds it taken leaves the work to its holder.
class Turn {
  public:
    explicit Turn(std::atomic<bool>& flag) : m_flag(flag) {
        bool free = false;
        m_held = m_flag.compare_exchange_strong(free, true, std::memory_order_acquire);
    }
    ~Turn() {
        if (m_held)
            m_flag.store(false, std::memory_order_release);
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    bool Held() const { return m_held; }

  private:
    std::atomic<bool>& m_flag;
    bool m_held = false;
};

}  // namespace

PacketParser::PacketParser(PortStatus& status, SessionSignals& signals, InputStage& input,
                           VideoPipeline& video, AudioPath& audio)
    : m_status(status),
      m_signals(signals),
      m_input(input),
      m_video(video),
      m_audio(audio),
      m_packetBuf(qx::kStreamBufferSize) {}

bool PacketParser::ParseStep() {
    m_stepMoved = false;
    // Out of the turn: the player's owner may join the player's feeding thread here.
    m_audio.ServicePlayer();
    const Turn turn(m_parsing);
    if (!turn.Held())
        return false;
    if (m_leftLength > 0) {
        PassOn(std::exchange(m_leftLength, 0));
        return true;
    }
    const int length = CutPacket();
    m_stepMoved = m_moved;
    if (length == 0) {
        NothingCut();
        return false;
    }
    m_endTold = false;
    PassOn(length);
    return true;
}

void PacketParser::ParseOnHost() {
    Left left = Left::kParser;
    try {
        const Turn turn(m_parsing);
        if (turn.Held()) {
            bool moved = false;
            left = PassWithoutWaiting_locked(&moved);
        }
    } catch (...) {
    }
    // With the turn held elsewhere it is the parser thread's too: the holder may be
    // just letting go, without having seen these bytes.
    Wake(left);
}

bool PacketParser::ParseForPlayer() {
    bool moved = false;
    Left left = Left::kNothing;
    try {
        const Turn turn(m_parsing);
        if (!turn.Held())
            return false;
        left = PassWithoutWaiting_locked(&moved);
    } catch (...) {
        left = Left::kParser;
    }
    // The play loop comes back by itself: only the parser thread is woken.
    if (left == Left::kParser)
        Wake(left);
    return moved;
}

PacketParser::Left PacketParser::PassWithoutWaiting_locked(bool* moved) {
    while (!m_status.Ending() && m_status.PlayState() == qx::kStateNormal) {
        int length = std::exchange(m_leftLength, 0);
        if (length == 0) {
            length = CutPacket();
            if (length == 0) {
                if (m_moved)
                    continue;
                NothingCut();
                return Left::kNothing;
            }
            m_endTold = false;
        }
        const H264_PARAM header = qx::ReadHeader(m_packetBuf.data());
        if (m_audio.Wants(header)) {
            m_leftLength = length;
            return Left::kParser;
        }
        if (!VideoStep(header, length, false)) {
            // The play loop is busy with the packet before: it takes this one next.
            m_leftLength = length;
            return Left::kPlayer;
        }
        *moved = true;
        LatencyTrim();
    }
    return m_leftLength > 0 ? Left::kParser : Left::kNothing;
}

void PacketParser::Wake(Left left) {
    if (left == Left::kParser)
        m_signals.parser.Post(qx::WakeSignal::kInput);
    else if (left == Left::kPlayer)
        m_signals.play.Post(qx::WakeSignal::kFrames);
}

int PacketParser::CutPacket() {
    const size_t capacity = static_cast<size_t>(m_input.Capacity());
    if (m_packetBuf.size() < capacity)
        m_packetBuf.resize(capacity);
    return m_input.Extract(m_packetBuf.data(), &m_moved, &m_epoch);
}

void PacketParser::PassOn(int length) {
    const H264_PARAM header = qx::ReadHeader(m_packetBuf.data());
    VideoStep(header, length, true);
    m_audio.AudioStep(header, m_packetBuf.data(), length);
    if (m_status.OpenMode() == qx::kModeLive)
        LatencyTrim();
}

void PacketParser::NothingCut() {
    if (!m_moved && m_input.SourceEnded() && !m_endTold) {
        m_endTold = true;
        m_video.EndOfStream();
    }
}

bool PacketParser::VideoStep(const H264_PARAM& header, int packetLength, bool mayWait) {
    if (header.knd != qx::kKindH264 && header.knd != qx::kKindH265)
        return true;
    const unsigned char* payload = m_packetBuf.data() + qx::kHeaderSize;
    if (!H264UtilsA::StartNalFlag(payload, header.nal_len))
        return true;
    return m_video.QueuePacket(
        m_packetBuf.data(), packetLength, qx::IsKeyPayload(payload, header.nal_len, header.knd),
        [this] { return m_input.Epoch() != m_epoch; }, mayWait);
}

void PacketParser::LatencyTrim() {
    const int64_t position = m_input.LatencyControl();
    if (position <= 0 || !m_input.DropBefore(position))
        return;
    m_video.ClearFrames();
    m_audio.Queue().Clear();
    qx::log::DbgviewLog(115, std::string("lost frame"));
}
