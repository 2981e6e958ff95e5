// The G.711 decoders under the audio decoder, and the decoder object's life.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numeric>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "decode/VoiceDecode.h"
#include "decode/VoiceEngine.h"
#include "streamkit/G711.h"

namespace {

// A frame as the session builds it: tag word, length in words, 160 payload bytes.
std::vector<int16_t> Frame(const std::vector<uint8_t>& payload) {
    std::vector<int16_t> frame(2 + payload.size() / 2);
    frame[0] = 0x0100;
    frame[1] = static_cast<int16_t>(payload.size() / 2);
    std::memcpy(frame.data() + 2, payload.data(), payload.size());
    return frame;
}

// libavcodec's G.711 decoder, an independent implementation to hold ours against.
std::vector<int16_t> LibavDecode(AVCodecID id) {
    std::vector<int16_t> out;
    const AVCodec* codec = avcodec_find_decoder(id);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    ctx->sample_rate = 8000;
    ctx->ch_layout = AV_CHANNEL_LAYOUT_MONO;
    if (avcodec_open2(ctx, codec, nullptr) == 0 && av_new_packet(packet, 256) == 0) {
        std::iota(packet->data, packet->data + 256, 0);
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

// The library plays with its decoder; qxexport decodes with the stream kit's.
TEST(G711, EveryCodeDecodesAsLibavcodecDecodesIt) {
    const std::vector<int16_t> alaw = LibavDecode(AV_CODEC_ID_PCM_ALAW);
    const std::vector<int16_t> mulaw = LibavDecode(AV_CODEC_ID_PCM_MULAW);
    ASSERT_EQ(alaw.size(), 256u);
    ASSERT_EQ(mulaw.size(), 256u);
    for (int code = 0; code < 256; ++code) {
        const auto byte = static_cast<uint8_t>(code);
        EXPECT_EQ(qx::ALawToPcm(byte), alaw[code]) << code;
        EXPECT_EQ(qx::kit::G711::DecodeALaw(byte), alaw[code]) << code;
        EXPECT_EQ(qx::MuLawToPcm(byte), mulaw[code]) << code;
        EXPECT_EQ(qx::kit::G711::DecodeMuLaw(byte), mulaw[code]) << code;
    }
}

double SineRoundTripSnr(int type) {
    std::vector<int16_t> pcm(160);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<int16_t>(std::lround(12000 * std::sin(2 * M_PI * 440 * i / 8000.0)));
    const std::vector<uint8_t> coded = type == 1
                                           ? qx::kit::G711::EncodeALaw(pcm.data(), pcm.size())
                                           : qx::kit::G711::EncodeMuLaw(pcm.data(), pcm.size());
    VoiceDecode decoder;
    EXPECT_TRUE(decoder.DecodeVioceInit(type));
    const std::vector<int16_t> frame = Frame(coded);
    int16_t out[160] = {};
    int16_t length = 160;
    EXPECT_EQ(decoder.DecodeVioce(frame.data(), out, length), 0);
    EXPECT_EQ(length, 160);
    double signal = 0, noise = 0;
    for (size_t i = 0; i < pcm.size(); ++i) {
        signal += static_cast<double>(pcm[i]) * pcm[i];
        noise += static_cast<double>(pcm[i] - out[i]) * (pcm[i] - out[i]);
    }
    return 10 * std::log10(signal / noise);
}

TEST(G711, ASineSurvivesTheRoundTrip) {
    EXPECT_GE(SineRoundTripSnr(1), 30.0);
    EXPECT_GE(SineRoundTripSnr(2), 30.0);
}

TEST(VoiceDecode, IsUsableOnlyAfterASuccessfulInit) {
    VoiceDecode decoder;
    EXPECT_EQ(decoder.GetAudioType(), -1);
    const std::vector<int16_t> frame = Frame(std::vector<uint8_t>(160, 0xD5));
    int16_t out[160];
    int16_t length = 160;
    EXPECT_EQ(decoder.DecodeVioce(frame.data(), out, length), -1);
    ASSERT_TRUE(decoder.DecodeVioceInit(1));
    EXPECT_EQ(decoder.GetAudioType(), 1);
    EXPECT_EQ(decoder.DecodeVioce(frame.data(), out, length), 0);
    EXPECT_EQ(out[0], 8);
}

TEST(VoiceDecode, UnknownAndLargeStateTypesFailCleanly) {
    VoiceDecode decoder;
    ASSERT_TRUE(decoder.DecodeVioceInit(2));
    EXPECT_FALSE(decoder.DecodeVioceInit(3));
    EXPECT_FALSE(decoder.DecodeVioceInit(5));
    const std::vector<int16_t> frame = Frame(std::vector<uint8_t>(160, 0xFF));
    int16_t out[160];
    int16_t length = 160;
    // No state was kept from the earlier type: nothing to decode with.
    EXPECT_EQ(decoder.DecodeVioce(frame.data(), out, length), -1);
    // Initialising again and again keeps one state (a leak would show under LSan).
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(decoder.DecodeVioceInit(1 + i % 2));
}

TEST(VoiceDecode, RefusesFramesItCannotHold) {
    VoiceDecode decoder;
    ASSERT_TRUE(decoder.DecodeVioceInit(1));
    std::vector<int16_t> frame = Frame(std::vector<uint8_t>(160, 0xD5));
    int16_t out[160];
    int16_t length = 100;
    EXPECT_EQ(decoder.DecodeVioce(frame.data(), out, length), -1) << "longer than the output";
    frame[0] = 0x0200;
    length = 160;
    EXPECT_EQ(decoder.DecodeVioce(frame.data(), out, length), -1) << "without its tag";
    frame[0] = 0x0100;
    frame[1] = -4;
    EXPECT_EQ(decoder.DecodeVioce(frame.data(), out, length), -1) << "negative length";
}

TEST(VoiceDecode, CopiesHaveStatesOfTheirOwn) {
    auto original = std::make_unique<VoiceDecode>();
    ASSERT_TRUE(original->DecodeVioceInit(2));
    VoiceDecode copy(*original);
    VoiceDecode assigned;
    assigned = *original;
    original.reset();
    // Under AddressSanitizer a shared state would be used after the original freed it.
    const std::vector<int16_t> frame = Frame(std::vector<uint8_t>(160, 0x80));
    int16_t out[160];
    int16_t length = 160;
    EXPECT_EQ(copy.DecodeVioce(frame.data(), out, length), 0);
    EXPECT_EQ(out[0], 32124);
    EXPECT_EQ(assigned.DecodeVioce(frame.data(), out, length), 0);
    EXPECT_EQ(assigned.GetAudioType(), 2);
}

}  // namespace
