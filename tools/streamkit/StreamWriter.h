#pragma once

#include <cstdint>
#include <vector>

#include "streamkit/Damage.h"
#include "streamkit/PacketIo.h"
#include "streamkit/StreamOptions.h"

namespace qx::kit {

// Turns the synthetic pictures and the test sound into the packets a camera sends:
//
// - one access unit per video packet, 4-byte start codes; an H.264 key packet is
//   [SPS][PPS][IDR], an H.265 key frame is a packet holding only the VPS followed by a
//   packet [SPS][PPS][IDR] with the same time stamps; SEI units only if options.sei;
// - with options.watermark, an H.264 key packet is [watermark SEI][SPS][PPS][IDR], the
//   record describing the key picture;
// - video idx 1, 2, 3 ... (the VPS packet takes its own), pts = dts = frame * 1e6 / fps us,
//   fbs = fps, sec = startEpoch + whole pts seconds;
// - audio packets of audioPacketMs each, idx 0, merged in pts order (video first at equal
//   pts), covering the video's duration;
// - the header damage of options.damage (idx gaps, wrong nal_len).
//
// Throws std::invalid_argument for bad options and std::runtime_error if the encoder does
// not deliver what a camera would.
class StreamWriter {
  public:
    static std::vector<Packet> MakePackets(const StreamOptions& options);

    // MakePackets, serialised with options.damage.
    static std::vector<uint8_t> MakeStream(const StreamOptions& options);

    // pts of video frame `frame` in microseconds.
    static int64_t FramePts(int64_t frame, int fps) { return frame * 1000000 / fps; }
};

}  // namespace qx::kit
