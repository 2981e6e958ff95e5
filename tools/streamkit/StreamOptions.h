#pragma once

#include <cstdint>
#include <string>

#include "streamkit/Damage.h"

namespace qx::kit {

enum class Codec { H264, H265 };

// Audio packet kinds the writer can produce: kind 1 carries G.711 A-law, kind 3 G.711 mu-law,
// kind 2 signed 8-bit PCM; all 8000 Hz mono.
enum AudioKind : int { kAudioNone = 0, kAudioALaw = 1, kAudioPcm8 = 2, kAudioMuLaw = 3 };

struct StreamOptions {
    Codec codec = Codec::H264;
    // Even, at least 64.
    int width = 352;
    int height = 288;
    int fps = 25;
    // Number of video frames; when 0, seconds * fps.
    int frames = 0;
    double seconds = 2.0;
    // Frames from one key frame to the next; 0 means two seconds (2 * fps).
    int gop = 0;
    AudioKind audioKind = kAudioNone;
    // Audio per packet, 20..100 ms (8 bytes per ms).
    int audioPacketMs = 40;
    // Header version, 1 or 2.
    int ver = 2;
    // Wall-clock second of the first frame; the header's sec is this plus the pts seconds.
    int64_t startEpoch = 1700000000;
    // Keep the SEI units the encoder writes. Cameras do not send them, so off by default.
    bool sei = false;
    // Encoder speed and quality (x264/x265 preset and crf).
    std::string preset = "veryfast";
    int crf = 23;
    Damage damage;
    // Text of the watermark record enciphered in front of every key picture (H.264
    // only, at most 49 bytes); empty for none.
    std::string watermark;
};

// Number of video frames the options ask for.
int FrameCount(const StreamOptions& options);

// Key-frame interval the options ask for.
int GopLength(const StreamOptions& options);

// Throws std::invalid_argument naming the first option that is out of range.
void Validate(const StreamOptions& options);

// Packet kind of the video packets.
int VideoKind(Codec codec);

}  // namespace qx::kit
