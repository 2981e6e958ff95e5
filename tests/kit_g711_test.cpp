#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "streamkit/StreamKit.h"

// The kit's G.711 coder makes the sound of every test stream and decodes it again in
// qxexport, so it is held against libavcodec's.
namespace {

using namespace qx::kit;

// libavcodec's G.711 codecs, an independent implementation to hold the kit's coder against.
std::vector<uint8_t> LibavEncode(AVCodecID id, const std::vector<int16_t>& pcm) {
    std::vector<uint8_t> out;
    const AVCodec* codec = avcodec_find_encoder(id);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    ctx->sample_fmt = AV_SAMPLE_FMT_S16;
    ctx->sample_rate = kAudioRate;
    ctx->ch_layout = AV_CHANNEL_LAYOUT_MONO;
    if (avcodec_open2(ctx, codec, nullptr) == 0) {
        frame->format = AV_SAMPLE_FMT_S16;
        frame->nb_samples = static_cast<int>(pcm.size());
        av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
        if (av_frame_get_buffer(frame, 0) == 0) {
            std::memcpy(frame->data[0], pcm.data(), pcm.size() * 2);
            if (avcodec_send_frame(ctx, frame) == 0 && avcodec_receive_packet(ctx, packet) == 0) {
                out.assign(packet->data, packet->data + packet->size);
            }
        }
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return out;
}

std::vector<int16_t> LibavDecode(AVCodecID id, const std::vector<uint8_t>& codes) {
    std::vector<int16_t> out;
    const AVCodec* codec = avcodec_find_decoder(id);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    ctx->sample_rate = kAudioRate;
    ctx->ch_layout = AV_CHANNEL_LAYOUT_MONO;
    if (avcodec_open2(ctx, codec, nullptr) == 0 &&
        av_new_packet(packet, static_cast<int>(codes.size())) == 0) {
        std::memcpy(packet->data, codes.data(), codes.size());
        if (avcodec_send_packet(ctx, packet) == 0 && avcodec_receive_frame(ctx, frame) == 0 &&
            frame->format == AV_SAMPLE_FMT_S16) {
            const auto* samples = reinterpret_cast<const int16_t*>(frame->data[0]);
            out.assign(samples, samples + frame->nb_samples);
        }
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return out;
}

std::vector<int16_t> AllSamples() {
    std::vector<int16_t> all(65536);
    for (int i = 0; i < 65536; ++i) {
        all[i] = static_cast<int16_t>(i - 32768);
    }
    return all;
}

TEST(KitG711, DecodersAgreeWithLibavcodecOnEveryCode) {
    std::vector<uint8_t> codes(256);
    std::iota(codes.begin(), codes.end(), 0);
    const std::vector<int16_t> alaw = LibavDecode(AV_CODEC_ID_PCM_ALAW, codes);
    const std::vector<int16_t> mulaw = LibavDecode(AV_CODEC_ID_PCM_MULAW, codes);
    ASSERT_EQ(alaw.size(), codes.size());
    ASSERT_EQ(mulaw.size(), codes.size());
    EXPECT_EQ(G711::DecodeALaw(codes.data(), codes.size()), alaw);
    EXPECT_EQ(G711::DecodeMuLaw(codes.data(), codes.size()), mulaw);
}

// libavcodec's encoder picks the nearest level; the ITU coder drops the input bits below
// its resolution (13 bits for A-law, 14 for mu-law, one's complement for negative samples)
// and decides at the segment edges rather than half-way. The two may differ by one level, for
// samples a few units from the middle of two levels, or for samples between the last level
// of a segment and the first of the next, on the ITU side of the segment edge (a third of the
// distance between the two levels).
void ExpectCloseToLibav(uint8_t (*encode)(int16_t), int16_t (*decode)(uint8_t),
                        const std::vector<uint8_t>& libav) {
    const std::vector<int16_t> all = AllSamples();
    ASSERT_EQ(libav.size(), all.size());
    int differ = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        const uint8_t ours = encode(all[i]);
        if (ours == libav[i]) {
            continue;
        }
        ++differ;
        const int a = decode(ours);
        const int b = decode(libav[i]);
        for (int code = 0; code < 256; ++code) {
            const int level = decode(static_cast<uint8_t>(code));
            ASSERT_FALSE(level > std::min(a, b) && level < std::max(a, b))
                << "not neighbouring levels at " << all[i];
        }
        ASSERT_LE(std::abs(2 * all[i] - a - b), std::max(8, std::abs(a - b) / 3))
            << "sample " << all[i];
    }
    EXPECT_LT(differ, static_cast<int>(all.size() / 50));
}

TEST(KitG711, EncodersDifferFromLibavcodecOnlyAtIntervalEdges) {
    const std::vector<int16_t> all = AllSamples();
    ExpectCloseToLibav(G711::EncodeALaw, G711::DecodeALaw, LibavEncode(AV_CODEC_ID_PCM_ALAW, all));
    ExpectCloseToLibav(G711::EncodeMuLaw, G711::DecodeMuLaw,
                       LibavEncode(AV_CODEC_ID_PCM_MULAW, all));
}

}  // namespace
