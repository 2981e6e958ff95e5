#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <stdexcept>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "streamkit/StreamKit.h"

namespace {

using namespace qx::kit;

// Small streams, encoded once per test run; the encoder is the slow part.
struct StreamCase {
    const char* name;
    Codec codec;
    int width;
    int height;
    int fps;
    int frames;
    int gop;
    AudioKind audio;
    int audioMs;
};

// Neither size is a multiple of 16 in both directions, so both need cropping. GOPs are
// chosen so that key frames and flash frames do not always coincide.
const StreamCase kH264Case = {"H264", Codec::H264, 200, 120, 10, 25, 8, kAudioALaw, 40};
const StreamCase kH265Case = {"H265", Codec::H265, 360, 240, 10, 12, 6, kAudioMuLaw, 20};

void PrintTo(const StreamCase& c, std::ostream* os) {
    *os << c.name;
}

StreamOptions OptionsFor(const StreamCase& c) {
    StreamOptions o;
    o.codec = c.codec;
    o.width = c.width;
    o.height = c.height;
    o.fps = c.fps;
    o.frames = c.frames;
    o.gop = c.gop;
    o.audioKind = c.audio;
    o.audioPacketMs = c.audioMs;
    return o;
}

const std::vector<Packet>& CachedPackets(const StreamCase& c) {
    static const std::vector<Packet> h264 = StreamWriter::MakePackets(OptionsFor(kH264Case));
    static const std::vector<Packet> h265 = StreamWriter::MakePackets(OptionsFor(kH265Case));
    return c.codec == Codec::H264 ? h264 : h265;
}

const std::vector<Picture>& CachedDecode(const StreamCase& c) {
    static const std::vector<Picture> h264 = ReferenceDecoder::DecodeElementaryStream(
        Codec::H264, ElementaryStream(CachedPackets(kH264Case)));
    static const std::vector<Picture> h265 = ReferenceDecoder::DecodeElementaryStream(
        Codec::H265, ElementaryStream(CachedPackets(kH265Case)));
    return c.codec == Codec::H264 ? h264 : h265;
}

std::vector<const Packet*> VideoPackets(const std::vector<Packet>& packets) {
    std::vector<const Packet*> video;
    for (const Packet& p : packets) {
        if (IsVideoKind(p.header.knd)) {
            video.push_back(&p);
        }
    }
    return video;
}

// The video packets that carry a picture (the H.265 VPS packet carries none).
std::vector<const Packet*> PicturePackets(Codec codec, const std::vector<Packet>& packets) {
    std::vector<const Packet*> pictures;
    for (const Packet* p : VideoPackets(packets)) {
        const std::vector<int> types = NalTypes(codec, p->payload);
        if (!(types.size() == 1 && codec == Codec::H265 && types[0] == h265::kVps)) {
            pictures.push_back(p);
        }
    }
    return pictures;
}

bool SameHeader(const H264_PARAM& a, const H264_PARAM& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

double MeanLuma(const Picture& pic) {
    return std::accumulate(pic.y.begin(), pic.y.end(), 0.0) / static_cast<double>(pic.y.size());
}

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    double se = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
        se += d * d;
    }
    const double mse = se / static_cast<double>(a.size());
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

class StreamKitStream : public ::testing::TestWithParam<StreamCase> {};

INSTANTIATE_TEST_SUITE_P(Codecs, StreamKitStream, ::testing::Values(kH264Case, kH265Case),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(StreamKitStream, SerializedPacketsReadBackUnchanged) {
    const std::vector<Packet>& packets = CachedPackets(GetParam());
    const std::vector<uint8_t> bytes = Serialize(packets);
    const std::vector<Packet> back = ReadPackets(bytes);
    ASSERT_EQ(back.size(), packets.size());
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_TRUE(SameHeader(back[i].header, packets[i].header)) << "packet " << i;
        EXPECT_EQ(back[i].payload, packets[i].payload) << "packet " << i;
    }
}

TEST_P(StreamKitStream, EveryPacketIsMarkerHeaderPayloadTrailer) {
    const std::vector<Packet>& packets = CachedPackets(GetParam());
    const std::vector<uint8_t> bytes = Serialize(packets);
    size_t pos = 0;
    for (const Packet& p : packets) {
        ASSERT_LE(pos + qx::kPacketOverhead, bytes.size());
        EXPECT_EQ(std::memcmp(bytes.data() + pos, "AAAAAAAA", 8), 0);
        const H264_PARAM h = HeaderAt(bytes.data() + pos);
        EXPECT_EQ(static_cast<size_t>(h.nal_len), p.payload.size());
        const size_t end = pos + qx::kHeaderSize + h.nal_len;
        ASSERT_LE(end + 4, bytes.size());
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + end, bytes.begin() + end + 4),
                  std::vector<uint8_t>(4, 0xFF));
        EXPECT_FALSE(ContainsMarker(p.payload.data(), p.payload.size()));
        pos = end + 4;
    }
    EXPECT_EQ(pos, bytes.size());
}

TEST_P(StreamKitStream, VideoIdxCountsUpFromOneWithoutGaps) {
    const std::vector<const Packet*> video = VideoPackets(CachedPackets(GetParam()));
    ASSERT_FALSE(video.empty());
    for (size_t i = 0; i < video.size(); ++i) {
        EXPECT_EQ(video[i]->header.idx, static_cast<int64_t>(i + 1));
    }
}

TEST_P(StreamKitStream, HeadersCarryFrameTimingAndRate) {
    const StreamCase& c = GetParam();
    const StreamOptions o = OptionsFor(c);
    const std::vector<const Packet*> pictures = PicturePackets(c.codec, CachedPackets(c));
    ASSERT_EQ(pictures.size(), static_cast<size_t>(c.frames));
    for (int n = 0; n < c.frames; ++n) {
        const H264_PARAM& h = pictures[n]->header;
        EXPECT_EQ(h.knd, VideoKind(c.codec));
        EXPECT_EQ(h.pts, int64_t{n} * 1000000 / c.fps) << "frame " << n;
        EXPECT_EQ(h.dts, h.pts);
        EXPECT_EQ(h.fbs, c.fps);
        EXPECT_EQ(h.ver, 2);
        EXPECT_EQ(h.sec, o.startEpoch + int64_t{n} / c.fps);
    }
}

TEST_P(StreamKitStream, KeyFramesFallOnTheGopGridOnly) {
    const StreamCase& c = GetParam();
    const std::vector<const Packet*> pictures = PicturePackets(c.codec, CachedPackets(c));
    ASSERT_EQ(pictures.size(), static_cast<size_t>(c.frames));
    for (int n = 0; n < c.frames; ++n) {
        EXPECT_EQ(IsKeyAccessUnit(c.codec, pictures[n]->payload), n % c.gop == 0) << n;
    }
}

TEST_P(StreamKitStream, NoSeiOrDelimiterUnitsByDefault) {
    const StreamCase& c = GetParam();
    for (const Packet* p : VideoPackets(CachedPackets(c))) {
        for (int type : NalTypes(c.codec, p->payload)) {
            EXPECT_FALSE(IsSei(c.codec, type));
            EXPECT_NE(type, c.codec == Codec::H264 ? h264::kAud : h265::kAud);
        }
    }
}

TEST_P(StreamKitStream, ElementaryStreamDecodesToEveryFrameAtItsSize) {
    const StreamCase& c = GetParam();
    const std::vector<Picture>& decoded = CachedDecode(c);
    ASSERT_EQ(decoded.size(), static_cast<size_t>(c.frames));
    for (int n = 0; n < c.frames; ++n) {
        EXPECT_EQ(decoded[n].width, c.width);
        EXPECT_EQ(decoded[n].height, c.height);
        EXPECT_EQ(ReadCounter(decoded[n]), n) << "decode order must be display order";
    }
}

TEST_P(StreamKitStream, DecodedPicturesResembleTheSource) {
    const StreamCase& c = GetParam();
    const std::vector<Picture>& decoded = CachedDecode(c);
    ASSERT_EQ(decoded.size(), static_cast<size_t>(c.frames));
    for (int n = 0; n < c.frames; ++n) {
        const Picture src = MakePicture(c.width, c.height, n, c.fps);
        EXPECT_GT(Psnr(decoded[n].y, src.y), 30.0) << "frame " << n;
        EXPECT_GT(Psnr(decoded[n].u, src.u), 30.0) << "frame " << n;
        EXPECT_GT(Psnr(decoded[n].v, src.v), 30.0) << "frame " << n;
    }
}

TEST_P(StreamKitStream, SpsGivesTheDisplaySize) {
    const StreamCase& c = GetParam();
    const std::vector<const Packet*> pictures = PicturePackets(c.codec, CachedPackets(c));
    ASSERT_FALSE(pictures.empty());
    const auto size = AccessUnitSize(c.codec, pictures[0]->payload);
    ASSERT_TRUE(size.has_value());
    EXPECT_EQ(size->width, c.width);
    EXPECT_EQ(size->height, c.height);
}

TEST_P(StreamKitStream, AudioIsInterleavedInTimeOrder) {
    const StreamCase& c = GetParam();
    const std::vector<Packet>& packets = CachedPackets(c);
    int64_t lastPts = -1;
    bool lastWasAudio = false;
    size_t audio = 0;
    for (const Packet& p : packets) {
        const bool isAudio = IsAudioKind(p.header.knd);
        EXPECT_GE(p.header.pts, lastPts);
        if (p.header.pts == lastPts && !isAudio) {
            EXPECT_FALSE(lastWasAudio) << "video goes first at equal pts";
        }
        lastPts = p.header.pts;
        lastWasAudio = isAudio;
        if (!isAudio) {
            continue;
        }
        EXPECT_EQ(p.header.knd, c.audio);
        EXPECT_EQ(p.header.idx, 0);
        EXPECT_EQ(p.header.pts, static_cast<int64_t>(audio) * c.audioMs * 1000);
        EXPECT_EQ(p.payload.size(), static_cast<size_t>(c.audioMs * 8));
        ++audio;
    }
    const int64_t duration = int64_t{c.frames} * 1000000 / c.fps;
    EXPECT_EQ(audio, static_cast<size_t>((duration + c.audioMs * 1000 - 1) / (c.audioMs * 1000)));
}

TEST(StreamKitH264, KeyPacketIsSpsPpsIdr) {
    const std::vector<const Packet*> pictures =
        PicturePackets(Codec::H264, CachedPackets(kH264Case));
    for (size_t n = 0; n < pictures.size(); ++n) {
        const std::vector<int> types = NalTypes(Codec::H264, pictures[n]->payload);
        ASSERT_FALSE(types.empty());
        if (n % kH264Case.gop == 0) {
            ASSERT_GE(types.size(), 3u);
            EXPECT_EQ(types[0], h264::kSps);
            EXPECT_EQ(types[1], h264::kPps);
            for (size_t i = 2; i < types.size(); ++i) {
                EXPECT_EQ(types[i], h264::kIdr);
            }
        } else {
            for (int t : types) {
                EXPECT_EQ(t, h264::kSlice) << "frame " << n;
            }
        }
    }
}

TEST(StreamKitH265, KeyFrameIsLoneVpsPacketThenSpsPpsIdr) {
    const std::vector<const Packet*> video = VideoPackets(CachedPackets(kH265Case));
    int keys = 0;
    for (size_t i = 0; i < video.size(); ++i) {
        const std::vector<int> types = NalTypes(Codec::H265, video[i]->payload);
        ASSERT_FALSE(types.empty());
        if (types[0] == h265::kVps) {
            EXPECT_EQ(types.size(), 1u) << "the VPS travels alone";
            ASSERT_LT(i + 1, video.size());
            const std::vector<int> next = NalTypes(Codec::H265, video[i + 1]->payload);
            ASSERT_GE(next.size(), 3u);
            EXPECT_EQ(next[0], h265::kSps);
            EXPECT_EQ(next[1], h265::kPps);
            EXPECT_TRUE(next[2] == h265::kIdrWRadl || next[2] == h265::kIdrNLp) << next[2];
            EXPECT_EQ(video[i + 1]->header.pts, video[i]->header.pts);
            ++keys;
        } else if (i == 0 || NalTypes(Codec::H265, video[i - 1]->payload)[0] != h265::kVps) {
            for (int t : types) {
                EXPECT_LT(t, h265::kVps) << "parameter sets only at key frames";
            }
        }
    }
    EXPECT_EQ(keys, (kH265Case.frames + kH265Case.gop - 1) / kH265Case.gop);
}

TEST(StreamKitContent, ClickAndFlashMarkEveryWholeSecond) {
    const std::vector<Packet>& packets = CachedPackets(kH264Case);
    std::vector<int16_t> sound;
    for (const Packet& p : packets) {
        if (IsAudioKind(p.header.knd)) {
            const std::vector<int16_t> pcm = G711::DecodeALaw(p.payload.data(), p.payload.size());
            sound.insert(sound.end(), pcm.begin(), pcm.end());
        }
    }
    ASSERT_GE(sound.size(), 2u * kAudioRate);
    for (size_t n = 0; n < sound.size(); ++n) {
        const bool loud = std::abs(int{sound[n]}) > 20000;
        EXPECT_EQ(loud, n % kAudioRate < static_cast<size_t>(kClickSamples)) << "sample " << n;
    }
    const std::vector<const Packet*> pictures =
        PicturePackets(Codec::H264, CachedPackets(kH264Case));
    const std::vector<Picture>& decoded = CachedDecode(kH264Case);
    ASSERT_EQ(decoded.size(), pictures.size());
    for (size_t n = 0; n < decoded.size(); ++n) {
        const bool wholeSecond = pictures[n]->header.pts % 1000000 == 0;
        EXPECT_EQ(MeanLuma(decoded[n]) > 200, wholeSecond) << "frame " << n;
    }
}

TEST(StreamKitContent, AudioPayloadsEncodeTheTestSound) {
    StreamOptions o = OptionsFor(kH264Case);
    o.frames = 3;
    o.width = o.height = 64;
    for (AudioKind kind : {kAudioALaw, kAudioPcm8, kAudioMuLaw}) {
        o.audioKind = kind;
        int64_t sample = 0;
        for (const Packet& p : StreamWriter::MakePackets(o)) {
            if (!IsAudioKind(p.header.knd)) {
                continue;
            }
            const std::vector<int16_t> pcm = AudioSource::Samples(sample, p.payload.size());
            for (size_t i = 0; i < pcm.size(); ++i) {
                const int16_t back = kind == kAudioALaw    ? G711::DecodeALaw(p.payload[i])
                                     : kind == kAudioMuLaw ? G711::DecodeMuLaw(p.payload[i])
                                                           : int16_t(int8_t(p.payload[i]) * 256);
                ASSERT_LT(std::abs(back - pcm[i]), std::abs(int{pcm[i]}) / 16 + 256)
                    << "kind " << kind << " sample " << sample + i;
            }
            sample += static_cast<int64_t>(p.payload.size());
        }
        EXPECT_GT(sample, 0);
    }
}

TEST(StreamKitOptions, VersionAndEpochReachTheHeaders) {
    StreamOptions o;
    o.width = o.height = 64;
    o.frames = 2;
    o.ver = 1;
    o.startEpoch = 1234;
    o.audioKind = kAudioPcm8;
    for (const Packet& p : StreamWriter::MakePackets(o)) {
        EXPECT_EQ(p.header.ver, 1);
        EXPECT_EQ(p.header.sec, 1234);
    }
}

TEST(StreamKitOptions, SeiOptionKeepsTheEncodersSei) {
    StreamOptions o;
    o.width = o.height = 64;
    o.frames = 1;
    o.sei = true;
    const std::vector<Packet> packets = StreamWriter::MakePackets(o);
    ASSERT_EQ(packets.size(), 1u);
    const std::vector<int> types = NalTypes(Codec::H264, packets[0].payload);
    EXPECT_NE(std::find(types.begin(), types.end(), h264::kSei), types.end());
    EXPECT_EQ(types[0], h264::kSps);
}

TEST(StreamKitOptions, OutOfRangeOptionsAreRejected) {
    auto rejects = [](auto change) {
        StreamOptions o;
        change(o);
        EXPECT_THROW(Validate(o), std::invalid_argument);
    };
    rejects([](StreamOptions& o) { o.width = 63; });
    rejects([](StreamOptions& o) { o.width = 201; });
    rejects([](StreamOptions& o) { o.height = 62; });
    rejects([](StreamOptions& o) { o.fps = 0; });
    rejects([](StreamOptions& o) { o.seconds = 0; });
    rejects([](StreamOptions& o) { o.audioKind = static_cast<AudioKind>(4); });
    rejects([](StreamOptions& o) { o.audioPacketMs = 19; });
    rejects([](StreamOptions& o) { o.audioPacketMs = 101; });
    rejects([](StreamOptions& o) { o.ver = 3; });
    StreamOptions fine;
    fine.width = 200;
    fine.height = 120;
    fine.audioPacketMs = 100;
    EXPECT_NO_THROW(Validate(fine));
    EXPECT_EQ(GopLength(fine), 50);
    EXPECT_EQ(FrameCount(fine), 50);
}

TEST(StreamKitSps, CroppedSizesComeOutExactly) {
    struct Case {
        Codec codec;
        int width;
        int height;
    };
    for (const Case& c : {Case{Codec::H264, 1920, 1080}, Case{Codec::H265, 202, 122},
                          Case{Codec::H264, 1280, 720}}) {
        StreamOptions o;
        o.codec = c.codec;
        o.width = c.width;
        o.height = c.height;
        o.frames = 1;
        o.preset = "ultrafast";
        const std::vector<Packet> packets = StreamWriter::MakePackets(o);
        const Packet& key = packets.back();
        const auto size = AccessUnitSize(c.codec, key.payload);
        ASSERT_TRUE(size.has_value()) << c.width << "x" << c.height;
        EXPECT_EQ(size->width, c.width);
        EXPECT_EQ(size->height, c.height);
        const std::vector<NalUnit> nals = SplitNals(c.codec, key.payload);
        ASSERT_GE(nals.size(), 2u);
        EXPECT_FALSE(ParseSpsSize(c.codec, key.payload.data() + nals[1].offset, nals[1].size))
            << "a PPS is not an SPS";
    }
}

TEST(StreamKitAnnexB, SplitsThreeAndFourByteStartCodes) {
    const std::vector<uint8_t> au = {0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3, 0, 0, 0, 1, 0x65, 4};
    const std::vector<NalUnit> nals = SplitNals(Codec::H264, au);
    ASSERT_EQ(nals.size(), 3u);
    EXPECT_EQ(nals[0].type, h264::kSps);
    EXPECT_EQ(nals[0].size, 3u);
    EXPECT_EQ(nals[1].type, h264::kPps);
    EXPECT_EQ(nals[1].size, 2u) << "the zero before a 4-byte start code is not payload";
    EXPECT_EQ(nals[2].type, h264::kIdr);
    EXPECT_EQ(nals[2].offset, 16u);
}

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

double SineSnr(std::vector<int16_t> (*roundTrip)(const std::vector<int16_t>&)) {
    std::vector<int16_t> sine(8000);
    for (size_t n = 0; n < sine.size(); ++n) {
        sine[n] =
            static_cast<int16_t>(std::lround(10000 * std::sin(2 * 3.14159265 * 1013 * n / 8000.0)));
    }
    const std::vector<int16_t> back = roundTrip(sine);
    double signal = 0;
    double noise = 0;
    for (size_t n = 0; n < sine.size(); ++n) {
        const double x = sine[n];
        const double e = back[n] - x;
        signal += x * x;
        noise += e * e;
    }
    return 10 * std::log10(signal / noise);
}

TEST(StreamKitG711, ReferenceCodes) {
    EXPECT_EQ(G711::EncodeALaw(0), 0xD5);
    EXPECT_EQ(G711::EncodeMuLaw(0), 0xFF);
    EXPECT_EQ(G711::EncodeALaw(-1), 0x55);
    EXPECT_EQ(G711::EncodeMuLaw(-1), 0x7F) << "one's complement: -1 is negative zero";
    EXPECT_EQ(G711::EncodeMuLaw(4), 0xFE);
    EXPECT_EQ(G711::EncodeMuLaw(124), 0xEF) << "first value of the second segment";
    EXPECT_EQ(G711::EncodeALaw(1000), 0xFA);
    EXPECT_EQ(G711::EncodeMuLaw(1000), 0xCE);
    EXPECT_EQ(G711::EncodeALaw(32767), 0xAA);
    EXPECT_EQ(G711::EncodeALaw(-32768), 0x2A);
    EXPECT_EQ(G711::EncodeMuLaw(32767), 0x80);
    EXPECT_EQ(G711::EncodeMuLaw(-32768), 0x00);
    EXPECT_EQ(G711::DecodeALaw(0xD5), 8);
    EXPECT_EQ(G711::DecodeALaw(0x55), -8);
    EXPECT_EQ(G711::DecodeALaw(0xAA), 32256);
    EXPECT_EQ(G711::DecodeMuLaw(0xFF), 0);
    EXPECT_EQ(G711::DecodeMuLaw(0x80), 32124);
    EXPECT_EQ(G711::DecodeMuLaw(0x00), -32124);
}

TEST(StreamKitG711, DecodersAgreeWithLibavcodecOnEveryCode) {
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

TEST(StreamKitG711, EncodersDifferFromLibavcodecOnlyAtIntervalEdges) {
    const std::vector<int16_t> all = AllSamples();
    ExpectCloseToLibav(G711::EncodeALaw, G711::DecodeALaw, LibavEncode(AV_CODEC_ID_PCM_ALAW, all));
    ExpectCloseToLibav(G711::EncodeMuLaw, G711::DecodeMuLaw,
                       LibavEncode(AV_CODEC_ID_PCM_MULAW, all));
}

TEST(StreamKitG711, NegativeSamplesMirrorTheirOnesComplement) {
    for (int x = -32768; x < 0; ++x) {
        const auto pcm = static_cast<int16_t>(x);
        const auto mirror = static_cast<int16_t>(~x);
        ASSERT_EQ(G711::EncodeALaw(pcm), G711::EncodeALaw(mirror) ^ 0x80) << x;
        ASSERT_EQ(G711::EncodeMuLaw(pcm), G711::EncodeMuLaw(mirror) ^ 0x80) << x;
    }
}

TEST(StreamKitG711, EveryCodeSurvivesDecodeAndEncode) {
    for (int code = 0; code < 256; ++code) {
        const auto c = static_cast<uint8_t>(code);
        EXPECT_EQ(G711::EncodeALaw(G711::DecodeALaw(c)), c) << code;
        // 0x7F is mu-law's negative zero; it decodes to 0, which encodes as 0xFF.
        if (code != 0x7F) {
            EXPECT_EQ(G711::EncodeMuLaw(G711::DecodeMuLaw(c)), c) << code;
        }
    }
}

TEST(StreamKitG711, SineRoundTripKeepsThirtyDecibels) {
    EXPECT_GE(SineSnr([](const std::vector<int16_t>& s) {
                  const std::vector<uint8_t> c = G711::EncodeALaw(s.data(), s.size());
                  return G711::DecodeALaw(c.data(), c.size());
              }),
              30.0);
    EXPECT_GE(SineSnr([](const std::vector<int16_t>& s) {
                  const std::vector<uint8_t> c = G711::EncodeMuLaw(s.data(), s.size());
                  return G711::DecodeMuLaw(c.data(), c.size());
              }),
              30.0);
}

TEST(StreamKitPicture, CounterReadsBackAtEverySize) {
    const int sizes[][2] = {{64, 64}, {200, 120}, {352, 288}, {1920, 1080}};
    for (const auto& s : sizes) {
        for (int64_t frame :
             {int64_t{0}, int64_t{7}, int64_t{25}, int64_t{123456}, int64_t{999999}}) {
            EXPECT_EQ(ReadCounter(MakePicture(s[0], s[1], frame, 25)), frame)
                << s[0] << "x" << s[1] << " frame " << frame;
        }
    }
    EXPECT_EQ(ReadCounter(MakePicture(64, 64, kCounterModulo + 3, 25)), 3);
}

TEST(StreamKitPicture, BlankPictureHasNoCounter) {
    Picture grey;
    grey.width = 200;
    grey.height = 120;
    grey.y.assign(200 * 120, 128);
    EXPECT_EQ(ReadCounter(grey), -1);
}

TEST(StreamKitPicture, PatternMovesAndFlashesOnWholeSeconds) {
    const Picture a = MakePicture(200, 120, 1, 25);
    const Picture b = MakePicture(200, 120, 2, 25);
    EXPECT_EQ(MakePicture(200, 120, 1, 25).y, a.y) << "same frame, same picture";
    EXPECT_NE(a.y, b.y);
    EXPECT_NE(a.u, b.u);
    for (int64_t frame : {0, 25, 50}) {
        const Picture flash = MakePicture(200, 120, frame, 25);
        EXPECT_GT(MeanLuma(flash), 200);
        EXPECT_TRUE(
            std::all_of(flash.u.begin(), flash.u.end(), [](uint8_t v) { return v == 128; }));
    }
    for (int64_t frame : {1, 24, 26}) {
        EXPECT_LT(MeanLuma(MakePicture(200, 120, frame, 25)), 170);
    }
}

TEST(StreamKitDamage, ChunksReassembleToTheStream) {
    const std::vector<uint8_t> bytes = Serialize(CachedPackets(kH264Case));
    const auto chunks = SplitChunks(bytes, 1, 300, 7);
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_GE(chunks[i].size(), 1u);
        EXPECT_LE(chunks[i].size(), 300u);
        joined.insert(joined.end(), chunks[i].begin(), chunks[i].end());
    }
    EXPECT_EQ(joined, bytes);
    EXPECT_GT(chunks.size(), bytes.size() / 300);
    EXPECT_EQ(SplitChunks(bytes, 1, 300, 7), chunks) << "same seed, same chunks";
    EXPECT_NE(SplitChunks(bytes, 1, 300, 8), chunks);

    const auto fixed = SplitChunks(bytes, 1000);
    ASSERT_EQ(fixed.size(), (bytes.size() + 999) / 1000);
    for (size_t i = 0; i + 1 < fixed.size(); ++i) {
        EXPECT_EQ(fixed[i].size(), 1000u);
    }
    EXPECT_THROW(SplitChunks(bytes, 0, 10, 1), std::invalid_argument);
}

TEST(StreamKitDamage, JunkBetweenPacketsLeavesThePacketsFindable) {
    const std::vector<Packet>& packets = CachedPackets(kH264Case);
    Damage d;
    d.junkEvery = 3;
    d.junkAfter = {0};
    d.junkBytes = 50;
    d.leadingJunk = 20;
    const std::vector<uint8_t> bytes = Serialize(packets, d);
    const size_t blocks = packets.size() / 3 + 1;
    EXPECT_EQ(bytes.size(), Serialize(packets).size() + 20 + blocks * 50);
    const std::vector<PacketSpan> spans = ScanPackets(bytes.data(), bytes.size());
    ASSERT_EQ(spans.size(), packets.size());
    EXPECT_EQ(spans[0].offset, 20u);
    size_t expected = 20;
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(spans[i].offset, expected) << "packet " << i;
        EXPECT_TRUE(SameHeader(spans[i].header, packets[i].header));
        expected += packets[i].payload.size() + qx::kPacketOverhead;
        if (i == 0 || (i + 1) % 3 == 0) {
            expected += 50;
        }
    }
}

TEST(StreamKitDamage, JunkHoldsHalfMarkersButNeverAWholeOne) {
    std::mt19937 rng(3);
    const std::vector<uint8_t> big = MakeJunk(200000, rng);
    ASSERT_EQ(big.size(), 200000u);
    EXPECT_FALSE(ContainsMarker(big.data(), big.size()));
    size_t run = 0;
    size_t longest = 0;
    for (uint8_t b : big) {
        run = b == 0x41 ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    EXPECT_EQ(longest, 7u) << "junk should test a reader's marker scan";
    for (size_t n = 1; n < 40; ++n) {
        const std::vector<uint8_t> junk = MakeJunk(n, rng);
        ASSERT_EQ(junk.size(), n);
        EXPECT_NE(junk.back(), 0x41) << "would shift the following marker";
    }
}

TEST(StreamKitDamage, IdxGapsAtEveryNthVideoPacket) {
    StreamOptions o = OptionsFor(kH265Case);
    o.width = o.height = 64;
    o.frames = 9;
    o.damage.idxGapEvery = 4;
    o.damage.idxGapSize = 2;
    const std::vector<Packet> packets = StreamWriter::MakePackets(o);
    int64_t previous = 0;
    int count = 0;
    for (const Packet& p : packets) {
        if (!IsVideoKind(p.header.knd)) {
            continue;
        }
        ++count;
        EXPECT_EQ(p.header.idx - previous, count % 4 == 0 ? 3 : 1) << "video packet " << count;
        previous = p.header.idx;
    }
    EXPECT_GE(count, 8);
}

TEST(StreamKitDamage, WrongNalLenOnEveryNthPacket) {
    StreamOptions o = OptionsFor(kH264Case);
    o.width = o.height = 64;
    o.frames = 6;
    o.damage.badLenEvery = 5;
    o.damage.badLenDelta = -9;
    const std::vector<Packet> packets = StreamWriter::MakePackets(o);
    ASSERT_GE(packets.size(), 10u);
    for (size_t i = 0; i < packets.size(); ++i) {
        const int64_t claimed = packets[i].header.nal_len;
        const auto real = static_cast<int64_t>(packets[i].payload.size());
        EXPECT_EQ(claimed - real, (i + 1) % 5 == 0 ? -9 : 0) << "packet " << i;
    }
    const std::vector<uint8_t> bytes = Serialize(packets);
    const size_t fourth = std::accumulate(
        packets.begin(), packets.begin() + 4, size_t{0},
        [](size_t sum, const Packet& p) { return sum + p.payload.size() + qx::kPacketOverhead; });
    const H264_PARAM written = HeaderAt(bytes.data() + fourth);
    EXPECT_EQ(written.nal_len, static_cast<int32_t>(packets[4].payload.size()) - 9);
}

TEST(StreamKitDamage, TruncationAndCutPacket) {
    const std::vector<Packet>& packets = CachedPackets(kH264Case);
    const std::vector<uint8_t> clean = Serialize(packets);

    Damage cut;
    cut.truncateAt = static_cast<int64_t>(clean.size() - 100);
    const std::vector<uint8_t> truncated = Serialize(packets, cut);
    ASSERT_EQ(truncated.size(), clean.size() - 100);
    EXPECT_TRUE(std::equal(truncated.begin(), truncated.end(), clean.begin()));
    EXPECT_EQ(ReadPackets(truncated).size(), packets.size() - 1) << "the cut packet is gone";

    Damage shortPacket;
    shortPacket.cutPacket = 3;
    shortPacket.cutPacketBytes = 30;
    const std::vector<uint8_t> bytes = Serialize(packets, shortPacket);
    size_t start = 0;
    for (size_t i = 0; i < 3; ++i) {
        start += packets[i].payload.size() + qx::kPacketOverhead;
    }
    const size_t full = packets[3].payload.size() + qx::kPacketOverhead;
    ASSERT_EQ(bytes.size(), clean.size() - full + 30);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + start + 30, clean.begin()));
    EXPECT_TRUE(std::equal(bytes.begin() + start + 30, bytes.end(), clean.begin() + start + full));
}

}  // namespace
