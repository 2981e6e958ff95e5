#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "streamkit/Picture.h"
#include "streamkit/StreamOptions.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace qx::kit {

struct EncoderSettings {
    Codec codec = Codec::H264;
    int width = 0;
    int height = 0;
    int fps = 25;
    int gop = 50;
    std::string preset = "veryfast";
    int crf = 23;
};

// One access unit as the encoder wrote it (Annex-B, parameter sets and SEI included).
struct EncodedPicture {
    int64_t frame = 0;
    bool key = false;
    std::vector<uint8_t> data;
};

// libx264 / libx265 set up the way a camera encodes: no B-frames, no look-ahead, no frame
// threads, so every picture comes out as soon as it goes in and decode order is display
// order. An IDR every gop frames and nowhere else, with the parameter sets in front of it.
class VideoEncoder {
  public:
    explicit VideoEncoder(const EncoderSettings& settings);
    ~VideoEncoder();
    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;

    // Encodes the picture as frame number `frame`; returns what the encoder has ready.
    std::vector<EncodedPicture> Encode(const Picture& picture, int64_t frame);
    // Drains the encoder at the end of the stream.
    std::vector<EncodedPicture> Flush();

  private:
    std::vector<EncodedPicture> Drain();
    void Release();

    EncoderSettings settings_;
    AVCodecContext* ctx_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
};

}  // namespace qx::kit
