#pragma once

#include <atomic>
#include <vector>

#include "session/AudioPath.h"
#include "session/InputStage.h"
#include "session/PortStatus.h"
#include "session/VideoPipeline.h"

// The parser's pass: the next packet out of the source buffer, video into the frame
// buffer, sound to the audio path, and in live mode the cut back to a key packet
// when display falls behind. The parser thread is also the sound player's owner.
//
// A live host's thread may make the passes itself, right after its bytes went in,
// while the parser thread is not in one: a live frame buffer holds one packet, so
// a camera's picture usually finds the play loop waiting for it and is handed on
// without waking the parser thread. A picture that finds the play loop still busy
// with the one before is left for the play loop, which passes it on itself when it
// comes for the next: a port behind its camera wakes no parser thread either, and
// does not slow down further for being behind. Whoever holds the turn (m_parsing)
// owns the fields below it; the host's and the play loop's threads never wait and
// never touch the sound player, and leave a packet that would need either to the
// parser thread.
class PacketParser {
  public:
    PacketParser(PortStatus& status, SessionSignals& signals, InputStage& input,
                 VideoPipeline& video, AudioPath& audio);

    // The parser thread (or a test driving it): one pass; false when no whole packet
    // was ready, or when a host's or the play loop's thread holds the turn.
    bool ParseStep();
    // The last ParseStep took bytes out of the source buffer: another may find more.
    bool Moved() const { return m_stepMoved; }
    // A live host's thread after its chunk went in: the passes that need no wait; the
    // play loop or the parser thread is woken for whatever is left.
    void ParseOnHost();
    // The play loop of a live port with nothing to decode: passes on what is left and
    // what came behind it, without waiting. True when it moved a packet.
    bool ParseForPlayer();

  private:
    // Who passes on the packet left in m_packetBuf, if any.
    enum class Left { kNothing, kPlayer, kParser };
    // The caller holds the turn. Passes on the packet left over, then the ones behind
    // it, while the port plays and none needs a wait; *moved tells whether one went.
    Left PassWithoutWaiting_locked(bool* moved);
    void Wake(Left left);
    // The next whole packet into m_packetBuf, which grows with the source buffer; its
    // length, or 0.
    int CutPacket();
    // The packet in m_packetBuf, of the given length, on its way.
    void PassOn(int length);
    // False when the packet is video that found no room and mayWait was false.
    bool VideoStep(const H264_PARAM& header, int packetLength, bool mayWait);
    void LatencyTrim();
    // Nothing was cut out: the decoder may give up what it holds once all that will
    // come has been.
    void NothingCut();

    PortStatus& m_status;
    SessionSignals& m_signals;
    InputStage& m_input;
    VideoPipeline& m_video;
    AudioPath& m_audio;
    // The thread that calls ParseStep.
    bool m_stepMoved = false;

    std::atomic<bool> m_parsing{false};
    // Owned by the holder of the turn.
    // The packet just cut out, as large as the source buffer.
    std::vector<unsigned char> m_packetBuf;
    // A packet cut out and left to the play loop or the parser thread: its length.
    int m_leftLength = 0;
    // The end of the input was passed on to the play loop.
    bool m_endTold = false;
    bool m_moved = false;
    // The input's epoch when the packet was cut out.
    uint64_t m_epoch = 0;
};
