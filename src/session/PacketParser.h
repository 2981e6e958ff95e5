#pragma once

#include <vector>

#include "session/AudioPath.h"
#include "session/InputStage.h"
#include "session/PortStatus.h"
#include "session/VideoPipeline.h"

// The parser's pass: the next packet out of the source buffer, video into the frame
// buffer, sound to the audio path, and in live mode the cut back to a key packet
// when display falls behind. The parser thread is also the sound player's owner.
class PacketParser {
  public:
    PacketParser(PortStatus& status, InputStage& input, VideoPipeline& video, AudioPath& audio);

    // One pass; false when no whole packet was ready.
    bool ParseStep();
    // The last pass took bytes out of the source buffer: another may find more.
    bool Moved() const { return m_moved; }

  private:
    void VideoStep(const H264_PARAM& header, int packetLength);
    void LatencyTrim();

    PortStatus& m_status;
    InputStage& m_input;
    VideoPipeline& m_video;
    AudioPath& m_audio;
    // Parser thread only: the packet just cut out, as large as the source buffer.
    std::vector<unsigned char> m_packetBuf;
    // The end of the input was passed on to the play loop.
    bool m_endTold = false;
    bool m_moved = false;
    // The input's epoch when the packet was cut out.
    uint64_t m_epoch = 0;
};
