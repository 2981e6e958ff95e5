#include "streamkit/Encoder.h"

#include <cstring>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
}

namespace qx::kit {

namespace {

[[noreturn]] void Fail(const std::string& what, int err) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, text, sizeof text);
    throw std::runtime_error("video encoder: " + what + ": " + text);
}

void SetOption(AVCodecContext* ctx, const char* name, const std::string& value) {
    const int err = av_opt_set(ctx->priv_data, name, value.c_str(), 0);
    if (err < 0) {
        Fail(std::string("option ") + name + "=" + value, err);
    }
}

void CopyPlane(const uint8_t* src, int srcStride, uint8_t* dst, int dstStride, int width,
               int height) {
    for (int y = 0; y < height; ++y) {
        std::memcpy(dst + static_cast<ptrdiff_t>(y) * dstStride,
                    src + static_cast<ptrdiff_t>(y) * srcStride, width);
    }
}

}  // namespace

VideoEncoder::VideoEncoder(const EncoderSettings& settings) : settings_(settings) {
    const bool h264 = settings.codec == Codec::H264;
    const AVCodec* codec = avcodec_find_encoder_by_name(h264 ? "libx264" : "libx265");
    if (codec == nullptr) {
        throw std::runtime_error(std::string("video encoder: libavcodec has no ") +
                                 (h264 ? "libx264" : "libx265"));
    }
    ctx_ = avcodec_alloc_context3(codec);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (ctx_ == nullptr || frame_ == nullptr || packet_ == nullptr) {
        Release();
        throw std::bad_alloc();
    }
    ctx_->width = settings.width;
    ctx_->height = settings.height;
    ctx_->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx_->time_base = AVRational{1, settings.fps};
    ctx_->framerate = AVRational{settings.fps, 1};
    ctx_->gop_size = settings.gop;
    ctx_->keyint_min = settings.gop;
    ctx_->max_b_frames = 0;
    ctx_->thread_count = 1;

    try {
        SetOption(ctx_, "preset", settings.preset);
        SetOption(ctx_, "tune", "zerolatency");
        SetOption(ctx_, "crf", std::to_string(settings.crf));
        SetOption(ctx_, "forced-idr", "1");
        const std::string gop = std::to_string(settings.gop);
        // Scene cuts would add key frames of their own; a camera's GOP is fixed. Without
        // global headers both wrappers already repeat the parameter sets, but a key packet
        // without them is useless to a player that joins late, so ask for them explicitly.
        if (h264) {
            // log=0: x264 prints its statistics at every close otherwise.
            SetOption(
                ctx_, "x264-params",
                "log=0:scenecut=0:keyint=" + gop + ":min-keyint=" + gop + ":repeat-headers=1");
        } else {
            // Closed GOPs so that key frames are IDR pictures, not CRA; one worker thread
            // keeps the machine's cores for the tests that use these streams.
            SetOption(ctx_, "x265-params",
                      "log-level=error:scenecut=0:open-gop=0:repeat-headers=1:bframes=0:"
                      "frame-threads=1:pools=none:keyint=" +
                          gop + ":min-keyint=" + gop);
        }
        int err = avcodec_open2(ctx_, codec, nullptr);
        if (err < 0) {
            Fail("open", err);
        }
        frame_->format = AV_PIX_FMT_YUV420P;
        frame_->width = settings.width;
        frame_->height = settings.height;
        err = av_frame_get_buffer(frame_, 0);
        if (err < 0) {
            Fail("frame buffer", err);
        }
    } catch (...) {
        Release();
        throw;
    }
}

VideoEncoder::~VideoEncoder() {
    Release();
}

void VideoEncoder::Release() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&ctx_);
}

std::vector<EncodedPicture> VideoEncoder::Encode(const Picture& picture, int64_t frame) {
    if (picture.width != settings_.width || picture.height != settings_.height) {
        throw std::invalid_argument("video encoder: picture size differs from the stream's");
    }
    int err = av_frame_make_writable(frame_);
    if (err < 0) {
        Fail("frame not writable", err);
    }
    const int w = picture.width;
    const int h = picture.height;
    CopyPlane(picture.y.data(), w, frame_->data[0], frame_->linesize[0], w, h);
    CopyPlane(picture.u.data(), w / 2, frame_->data[1], frame_->linesize[1], w / 2, h / 2);
    CopyPlane(picture.v.data(), w / 2, frame_->data[2], frame_->linesize[2], w / 2, h / 2);
    frame_->pts = frame;
    frame_->pict_type = frame % settings_.gop == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    err = avcodec_send_frame(ctx_, frame_);
    if (err < 0) {
        Fail("send frame", err);
    }
    return Drain();
}

std::vector<EncodedPicture> VideoEncoder::Flush() {
    const int err = avcodec_send_frame(ctx_, nullptr);
    if (err < 0 && err != AVERROR_EOF) {
        Fail("flush", err);
    }
    return Drain();
}

std::vector<EncodedPicture> VideoEncoder::Drain() {
    std::vector<EncodedPicture> out;
    for (;;) {
        const int err = avcodec_receive_packet(ctx_, packet_);
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) {
            return out;
        }
        if (err < 0) {
            Fail("receive packet", err);
        }
        EncodedPicture pic;
        pic.frame = packet_->pts;
        pic.key = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
        pic.data.assign(packet_->data, packet_->data + packet_->size);
        out.push_back(std::move(pic));
        av_packet_unref(packet_);
    }
}

}  // namespace qx::kit
