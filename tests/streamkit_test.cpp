#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
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

// What every suite takes for granted of the kit's streams, in one pass: the wire
// layout, the counters and times in the headers, key pictures on the GOP grid, every
// picture decodable in display order and close to its source, and the sound
// interleaved in time.
TEST_P(StreamKitStream, IsTheStreamTheSuitesAssume) {
    const StreamCase& c = GetParam();
    const std::vector<Packet>& packets = CachedPackets(c);
    const std::vector<uint8_t> bytes = Serialize(packets);
    const std::vector<Packet> back = ReadPackets(bytes);
    ASSERT_EQ(back.size(), packets.size());
    size_t pos = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_TRUE(SameHeader(back[i].header, packets[i].header)) << "packet " << i;
        EXPECT_EQ(back[i].payload, packets[i].payload) << "packet " << i;
        EXPECT_EQ(std::memcmp(bytes.data() + pos, "AAAAAAAA", 8), 0);
        EXPECT_FALSE(ContainsMarker(packets[i].payload.data(), packets[i].payload.size()));
        pos += qx::kHeaderSize + packets[i].payload.size();
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + pos, bytes.begin() + pos + 4),
                  std::vector<uint8_t>(4, 0xFF));
        pos += 4;
    }
    EXPECT_EQ(pos, bytes.size());

    const std::vector<const Packet*> video = VideoPackets(packets);
    for (size_t i = 0; i < video.size(); ++i)
        EXPECT_EQ(video[i]->header.idx, static_cast<int64_t>(i + 1));
    const std::vector<const Packet*> pictures = PicturePackets(c.codec, packets);
    const std::vector<Picture>& decoded = CachedDecode(c);
    ASSERT_EQ(pictures.size(), static_cast<size_t>(c.frames));
    ASSERT_EQ(decoded.size(), static_cast<size_t>(c.frames));
    for (int n = 0; n < c.frames; ++n) {
        const H264_PARAM& h = pictures[n]->header;
        EXPECT_EQ(h.pts, int64_t{n} * 1000000 / c.fps) << "frame " << n;
        EXPECT_EQ(h.fbs, c.fps);
        EXPECT_EQ(h.sec, OptionsFor(c).startEpoch + int64_t{n} / c.fps);
        EXPECT_EQ(IsKeyAccessUnit(c.codec, pictures[n]->payload), n % c.gop == 0) << n;
        EXPECT_EQ(decoded[n].width, c.width);
        EXPECT_EQ(decoded[n].height, c.height);
        EXPECT_EQ(ReadCounter(decoded[n]), n) << "decode order must be display order";
        const Picture src = MakePicture(c.width, c.height, n, c.fps);
        EXPECT_GT(Psnr(decoded[n].y, src.y), 30.0) << "frame " << n;
        EXPECT_GT(Psnr(decoded[n].u, src.u), 30.0) << "frame " << n;
    }

    int64_t lastPts = -1;
    size_t audio = 0;
    for (const Packet& p : packets) {
        EXPECT_GE(p.header.pts, lastPts);
        lastPts = p.header.pts;
        if (!IsAudioKind(p.header.knd))
            continue;
        EXPECT_EQ(p.header.knd, c.audio);
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

}  // namespace
