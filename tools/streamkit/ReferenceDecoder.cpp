#include "streamkit/ReferenceDecoder.h"

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace qx::kit {

namespace {

struct ContextFree {
    void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct ParserFree {
    void operator()(AVCodecParserContext* p) const { av_parser_close(p); }
};
struct FrameFree {
    void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

Picture CopyOut(const AVFrame* f) {
    if (f->format != AV_PIX_FMT_YUV420P && f->format != AV_PIX_FMT_YUVJ420P) {
        throw std::runtime_error("reference decoder: picture is not 8-bit 4:2:0");
    }
    Picture pic;
    pic.width = f->width;
    pic.height = f->height;
    const int cw = (f->width + 1) / 2;
    const int ch = (f->height + 1) / 2;
    pic.y.resize(static_cast<size_t>(f->width) * f->height);
    pic.u.resize(static_cast<size_t>(cw) * ch);
    pic.v.resize(static_cast<size_t>(cw) * ch);
    for (int y = 0; y < f->height; ++y) {
        std::memcpy(pic.y.data() + static_cast<size_t>(y) * f->width,
                    f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0], f->width);
    }
    for (int y = 0; y < ch; ++y) {
        std::memcpy(pic.u.data() + static_cast<size_t>(y) * cw,
                    f->data[1] + static_cast<ptrdiff_t>(y) * f->linesize[1], cw);
        std::memcpy(pic.v.data() + static_cast<size_t>(y) * cw,
                    f->data[2] + static_cast<ptrdiff_t>(y) * f->linesize[2], cw);
    }
    return pic;
}

}  // namespace

std::vector<Picture> ReferenceDecoder::DecodeElementaryStream(Codec codec,
                                                              const std::vector<uint8_t>& stream) {
    const AVCodecID id = codec == Codec::H264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
    const AVCodec* decoder = avcodec_find_decoder(id);
    if (decoder == nullptr) {
        throw std::runtime_error("reference decoder: libavcodec has no decoder for the codec");
    }
    std::unique_ptr<AVCodecContext, ContextFree> ctx(avcodec_alloc_context3(decoder));
    std::unique_ptr<AVCodecParserContext, ParserFree> parser(av_parser_init(id));
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    if (!ctx || !parser || !frame || !packet) {
        throw std::bad_alloc();
    }
    ctx->thread_count = 1;
    if (avcodec_open2(ctx.get(), decoder, nullptr) < 0) {
        throw std::runtime_error("reference decoder: cannot open the decoder");
    }

    std::vector<Picture> pictures;
    auto receive = [&]() {
        while (avcodec_receive_frame(ctx.get(), frame.get()) == 0) {
            pictures.push_back(CopyOut(frame.get()));
            av_frame_unref(frame.get());
        }
    };
    auto send = [&](const AVPacket* p) {
        const int err = avcodec_send_packet(ctx.get(), p);
        if (err < 0 && err != AVERROR_EOF) {
            throw std::runtime_error("reference decoder: the stream does not decode (" +
                                     std::to_string(err) + ")");
        }
        receive();
    };

    const uint8_t* data = stream.data();
    size_t left = stream.size();
    // The parser holds back the last access unit until it sees the end (a call with no data).
    bool ended = false;
    while (!ended) {
        uint8_t* out = nullptr;
        int outSize = 0;
        const int used =
            av_parser_parse2(parser.get(), ctx.get(), &out, &outSize, data, static_cast<int>(left),
                             AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        data += used;
        left -= static_cast<size_t>(used);
        ended = left == 0 && used == 0 && outSize == 0;
        if (outSize > 0) {
            packet->data = out;
            packet->size = outSize;
            send(packet.get());
        }
    }
    send(nullptr);
    return pictures;
}

}  // namespace qx::kit
