#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "stream/ExpGolomb.h"
#include "stream/H264UtilsA.h"
#include "stream/SpsReader.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Writes bit strings the way an encoder does, so that the readers can be given
// parameter sets with exactly the values a case needs.
class BitWriter {
  public:
    void Bits(unsigned n, uint64_t value) {
        for (unsigned i = n; i-- > 0;)
            Bit((value >> i) & 1);
    }
    void Flag(bool value) { Bit(value); }
    void Ue(uint64_t value) {
        const uint64_t code = value + 1;
        unsigned length = 0;
        while ((code >> length) > 1)
            ++length;
        Bits(length, 0);
        Bits(length + 1, code);
    }
    void Se(int64_t value) { Ue(value > 0 ? 2 * uint64_t(value) - 1 : 2 * uint64_t(-value)); }
    // rbsp_trailing_bits().
    void Trailing() {
        Bit(1);
        while (m_bits % 8 != 0)
            Bit(0);
    }
    Bytes Take() {
        while (m_bits % 8 != 0)
            Bit(0);
        return m_bytes;
    }

  private:
    void Bit(bool b) {
        if (m_bits % 8 == 0)
            m_bytes.push_back(0);
        if (b)
            m_bytes.back() |= uint8_t(0x80 >> (m_bits % 8));
        ++m_bits;
    }
    Bytes m_bytes;
    size_t m_bits = 0;
};

// Inserts emulation-prevention bytes as an encoder must.
Bytes Escape(const Bytes& rbsp) {
    Bytes out;
    int zeros = 0;
    for (uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return out;
}

Bytes Nal(std::initializer_list<uint8_t> header, const Bytes& rbsp) {
    const Bytes payload = Escape(rbsp);
    Bytes nal;
    nal.reserve(4 + header.size() + payload.size());
    nal.assign({0, 0, 0, 1});
    nal.insert(nal.end(), header.begin(), header.end());
    nal.insert(nal.end(), payload.begin(), payload.end());
    return nal;
}

// The values of a hand-built H.264 SPS; the defaults make a plain 352 x 288 High
// profile SPS without VUI.
struct H264Fields {
    uint32_t profile = 100;
    uint64_t spsId = 0;
    uint64_t chromaFormat = 1;
    uint64_t lumaDepthMinus8 = 0;
    uint64_t chromaDepthMinus8 = 0;
    bool scalingMatrix = false;
    uint64_t pocType = 0;
    uint64_t pocCycle = 0;
    uint64_t refFrames = 1;
    uint64_t mbWidthMinus1 = 21;
    uint64_t mapUnitsMinus1 = 17;
    bool frameMbsOnly = true;
    bool crop = false;
    uint64_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    bool vui = false;
    int aspectIdc = -1;  // -1: no aspect ratio info
    uint32_t sarWidth = 0, sarHeight = 0;
    bool timing = false;
    uint32_t numUnitsInTick = 1001, timeScale = 60000;
    int64_t cpbCountMinus1 = -1;  // -1: no HRD parameters
    int64_t reorderFrames = -1;   // -1: no bitstream restriction
};

Bytes H264Rbsp(const H264Fields& f) {
    BitWriter w;
    w.Bits(8, f.profile);
    w.Bits(8, 0);
    w.Bits(8, 40);
    w.Ue(f.spsId);
    if (f.profile == 100 || f.profile == 122 || f.profile == 244) {
        w.Ue(f.chromaFormat);
        if (f.chromaFormat == 3)
            w.Flag(false);
        w.Ue(f.lumaDepthMinus8);
        w.Ue(f.chromaDepthMinus8);
        w.Flag(false);
        w.Flag(f.scalingMatrix);
        if (f.scalingMatrix) {
            // Lists 0 and 6 coded as "use the default", list 3 coded flat (delta 8 then
            // 0s), the rest absent and so falling back.
            for (int i = 0; i < (f.chromaFormat != 3 ? 8 : 12); ++i) {
                const bool present = i == 0 || i == 3 || i == 6;
                w.Flag(present);
                if (i == 0 || i == 6)
                    w.Se(-8);
                if (i == 3) {
                    w.Se(8);
                    for (int j = 1; j < 16; ++j)
                        w.Se(0);
                }
            }
        }
    }
    w.Ue(0);  // log2_max_frame_num_minus4
    w.Ue(f.pocType);
    if (f.pocType == 0) {
        w.Ue(2);
    } else if (f.pocType == 1) {
        w.Flag(false);
        w.Se(-1);
        w.Se(1);
        w.Ue(f.pocCycle);
        for (uint64_t i = 0; i < f.pocCycle && i < 300; ++i)
            w.Se(int64_t(i % 5) - 2);
    }
    w.Ue(f.refFrames);
    w.Flag(false);
    w.Ue(f.mbWidthMinus1);
    w.Ue(f.mapUnitsMinus1);
    w.Flag(f.frameMbsOnly);
    if (!f.frameMbsOnly)
        w.Flag(false);
    w.Flag(true);  // direct_8x8_inference_flag
    w.Flag(f.crop);
    if (f.crop) {
        w.Ue(f.cropLeft);
        w.Ue(f.cropRight);
        w.Ue(f.cropTop);
        w.Ue(f.cropBottom);
    }
    w.Flag(f.vui);
    if (f.vui) {
        w.Flag(f.aspectIdc >= 0);
        if (f.aspectIdc >= 0) {
            w.Bits(8, uint32_t(f.aspectIdc));
            if (f.aspectIdc == 255) {
                w.Bits(16, f.sarWidth);
                w.Bits(16, f.sarHeight);
            }
        }
        w.Flag(false);  // overscan
        w.Flag(true);   // video signal type
        w.Bits(3, 5);
        w.Flag(true);
        w.Flag(true);
        w.Bits(8, 1);
        w.Bits(8, 1);
        w.Bits(8, 1);
        w.Flag(false);  // chroma location
        w.Flag(f.timing);
        if (f.timing) {
            w.Bits(32, f.numUnitsInTick);
            w.Bits(32, f.timeScale);
            w.Flag(true);
        }
        const bool hrd = f.cpbCountMinus1 >= 0;
        w.Flag(hrd);
        if (hrd) {
            w.Ue(uint64_t(f.cpbCountMinus1));
            w.Bits(4, 2);
            w.Bits(4, 3);
            for (int64_t i = 0; i <= f.cpbCountMinus1 && i < 40; ++i) {
                w.Ue(1000);
                w.Ue(2000);
                w.Flag(false);
            }
            w.Bits(5, 23);
            w.Bits(5, 23);
            w.Bits(5, 23);
            w.Bits(5, 24);
        }
        w.Flag(false);  // VCL HRD
        if (hrd)
            w.Flag(false);
        w.Flag(false);  // pic_struct_present_flag
        w.Flag(f.reorderFrames >= 0);
        if (f.reorderFrames >= 0) {
            w.Flag(true);
            w.Ue(0);
            w.Ue(0);
            w.Ue(16);
            w.Ue(16);
            w.Ue(uint64_t(f.reorderFrames));
            w.Ue(4);
        }
    }
    w.Trailing();
    return w.Take();
}

Bytes H264SpsNal(const H264Fields& f) {
    return Nal({0x67}, H264Rbsp(f));
}

struct ReadResult {
    bool ok = false;
    qx::H264Sps sps;
    std::string messages;
};

ReadResult ReadSps(const Bytes& nal) {
    ReadResult r;
    r.ok = qx::ReadH264Sps(nal.data(), nal.size(), &r.sps, &r.messages);
    return r;
}

// The values of a hand-built H.265 SPS, up to the conformance window.
struct HevcFields {
    unsigned subLayersMinus1 = 0;
    std::vector<std::pair<bool, bool>> subLayerPresent;  // profile, level
    uint64_t spsId = 0;
    uint64_t chromaFormat = 1;
    uint64_t width = 1280;
    uint64_t height = 720;
    bool window = false;
    uint64_t left = 0, right = 0, top = 0, bottom = 0;
};

void WriteProfile(BitWriter& w, bool zeros) {
    w.Bits(2, 0);
    w.Flag(false);
    w.Bits(5, 1);
    // With zero compatibility and constraint bits the payload needs emulation prevention.
    w.Bits(32, zeros ? 0 : 0x60000000);
    w.Bits(4, zeros ? 0 : 0xB);
    w.Bits(43, 0);
    w.Flag(false);
}

Bytes HevcSpsNal(const HevcFields& f) {
    BitWriter w;
    w.Bits(4, 0);
    w.Bits(3, f.subLayersMinus1);
    w.Flag(true);
    WriteProfile(w, true);
    w.Bits(8, 93);
    for (unsigned i = 0; i < f.subLayersMinus1; ++i) {
        w.Flag(f.subLayerPresent[i].first);
        w.Flag(f.subLayerPresent[i].second);
    }
    if (f.subLayersMinus1 > 0) {
        for (unsigned i = f.subLayersMinus1; i < 8; ++i)
            w.Bits(2, 0);
    }
    for (unsigned i = 0; i < f.subLayersMinus1; ++i) {
        if (f.subLayerPresent[i].first)
            WriteProfile(w, false);
        if (f.subLayerPresent[i].second)
            w.Bits(8, 90);
    }
    w.Ue(f.spsId);
    w.Ue(f.chromaFormat);
    if (f.chromaFormat == 3)
        w.Flag(false);
    w.Ue(f.width);
    w.Ue(f.height);
    w.Flag(f.window);
    if (f.window) {
        w.Ue(f.left);
        w.Ue(f.right);
        w.Ue(f.top);
        w.Ue(f.bottom);
    }
    // The rest of a real SPS does not matter to the size reader.
    w.Ue(0);
    w.Ue(0);
    w.Trailing();
    return Nal({0x42, 0x01}, w.Take());
}

// --- real encoder output ----------------------------------------------------------

struct EncodeParams {
    const char* encoder;
    int width;
    int height;
    AVPixelFormat format = AV_PIX_FMT_YUV420P;
    const char* preset = "veryfast";
    const char* params = nullptr;  // x264-params / x265-params
};

// The first packet of a short encode: an IDR access unit behind the parameter
// sets. Empty when the encoder is not available.
Bytes EncodeFirstPacket(const EncodeParams& p) {
    av_log_set_level(AV_LOG_QUIET);
    const AVCodec* codec = avcodec_find_encoder_by_name(p.encoder);
    if (codec == nullptr)
        return {};
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->width = p.width;
    ctx->height = p.height;
    ctx->pix_fmt = p.format;
    ctx->time_base = AVRational{1, 25};
    ctx->framerate = AVRational{25, 1};
    ctx->gop_size = 25;
    ctx->max_b_frames = 0;
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "preset", p.preset, 0);
    const bool hevc = std::strcmp(p.encoder, "libx265") == 0;
    std::string params = hevc ? "log-level=none" : "";
    if (p.params != nullptr)
        params += (params.empty() ? "" : ":") + std::string(p.params);
    if (!params.empty())
        av_dict_set(&opts, hevc ? "x265-params" : "x264-params", params.c_str(), 0);
    Bytes packet;
    if (avcodec_open2(ctx, codec, &opts) == 0) {
        AVFrame* frame = av_frame_alloc();
        frame->format = p.format;
        frame->width = p.width;
        frame->height = p.height;
        av_frame_get_buffer(frame, 0);
        AVPacket* pkt = av_packet_alloc();
        for (int i = 0; i < 2 && packet.empty(); ++i) {
            av_frame_make_writable(frame);
            for (int plane = 0; plane < 3; ++plane) {
                const int rows =
                    plane == 0 || p.format == AV_PIX_FMT_YUV444P || p.format == AV_PIX_FMT_YUV422P
                        ? p.height
                        : p.height / 2;
                for (int y = 0; y < rows; ++y) {
                    std::memset(frame->data[plane] + y * frame->linesize[plane],
                                (y * 3 + i * 7 + plane * 50) & 0xFF, frame->linesize[plane]);
                }
            }
            frame->pts = i;
            avcodec_send_frame(ctx, frame);
        }
        avcodec_send_frame(ctx, nullptr);
        if (avcodec_receive_packet(ctx, pkt) == 0)
            packet.assign(pkt->data, pkt->data + pkt->size);
        av_packet_free(&pkt);
        av_frame_free(&frame);
    }
    av_dict_free(&opts);
    avcodec_free_context(&ctx);
    return packet;
}

// The unit of the given type, start code included, out of an Annex-B access unit.
Bytes FindUnit(const Bytes& au, int type, bool hevc) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= au.size(); ++i) {
        if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1)
            starts.push_back(i);
    }
    for (size_t k = 0; k < starts.size(); ++k) {
        const size_t header = starts[k] + 3;
        if (header >= au.size())
            break;
        const int t = hevc ? (au[header] & 0x7E) >> 1 : au[header] & 0x1F;
        if (t != type)
            continue;
        size_t begin = starts[k] > 0 && au[starts[k] - 1] == 0 ? starts[k] - 1 : starts[k];
        size_t end = k + 1 < starts.size() ? starts[k + 1] : au.size();
        if (end < au.size() && end > 0 && au[end - 1] == 0)
            --end;
        return Bytes(au.begin() + long(begin), au.begin() + long(end));
    }
    return {};
}

// --- bit reader -----------------------------------------------------------------

TEST(BitReader, ReadsBigEndianFieldsAcrossBytes) {
    const Bytes data = {0xA5, 0x3C, 0xFF, 0x01, 0x80};
    qx::BitReader br(data.data(), data.size(), qx::Escaping::kRbsp);
    EXPECT_EQ(br.ReadBits(3), 0x5u);
    EXPECT_EQ(br.ReadBits(9), 0x053u);
    EXPECT_EQ(br.ReadBits(0), 0u);
    EXPECT_EQ(br.ReadBits(20), 0xCFF01u);
    EXPECT_TRUE(br.ReadFlag());
    EXPECT_EQ(br.BitsRead(), 33u);
    EXPECT_TRUE(br.Ok());

    qx::BitReader full(data.data(), 4, qx::Escaping::kRbsp);
    EXPECT_EQ(full.ReadBits(32), 0xA53CFF01u);
    EXPECT_TRUE(full.Ok());
}

TEST(BitReader, BitsPastTheEndReadAsZeroAndAreCounted) {
    const Bytes data = {0xFF};
    qx::BitReader br(data.data(), data.size(), qx::Escaping::kRbsp);
    EXPECT_EQ(br.ReadBits(4), 0xFu);
    EXPECT_EQ(br.ReadBits(8), 0xF0u);
    EXPECT_TRUE(br.Overread());
    EXPECT_EQ(br.OverreadBits(), 4u);
    EXPECT_EQ(br.ReadBits(32), 0u);
    EXPECT_EQ(br.OverreadBits(), 36u);
    br.SkipBits(1000);
    EXPECT_EQ(br.OverreadBits(), 1036u);
    EXPECT_FALSE(br.Ok());

    qx::BitReader empty(nullptr, 0, qx::Escaping::kRbsp);
    EXPECT_EQ(empty.ReadUe(), 0u);
    EXPECT_TRUE(empty.Overread());
}

TEST(BitReader, ExpGolombCodesRoundTrip) {
    const std::vector<uint64_t> unsignedValues = {0,   1,   2,     3,        7,
                                                  254, 255, 65535, 1u << 20, 0xFFFFFFFEull};
    const std::vector<int64_t> signedValues = {0, 1, -1, 2, -2, 127, -128, INT32_MAX, -INT32_MAX};
    BitWriter w;
    for (uint64_t v : unsignedValues)
        w.Ue(v);
    for (int64_t v : signedValues)
        w.Se(v);
    w.Bits(1, 1);
    const Bytes data = w.Take();
    qx::BitReader br(data.data(), data.size(), qx::Escaping::kRbsp);
    for (uint64_t v : unsignedValues)
        EXPECT_EQ(br.ReadUe(), v);
    for (int64_t v : signedValues)
        EXPECT_EQ(br.ReadSe(), v);
    EXPECT_TRUE(br.ReadFlag());
    EXPECT_TRUE(br.Ok());
}

TEST(BitReader, RefusesCodesThatAreNot32BitValues) {
    // 32 leading zeros: the value would need 33 bits.
    const Bytes tooLong = {0, 0, 0, 0, 0x80, 0, 0, 0, 0};
    qx::BitReader br(tooLong.data(), tooLong.size(), qx::Escaping::kRbsp);
    EXPECT_EQ(br.ReadUe(), 0u);
    EXPECT_TRUE(br.Invalid());
    EXPECT_FALSE(br.Overread());
    EXPECT_FALSE(br.Ok());

    // A code cut short by the end of the data is an overread, not a value.
    const Bytes cut = {0x00, 0x01};
    qx::BitReader brCut(cut.data(), cut.size(), qx::Escaping::kRbsp);
    brCut.ReadUe();
    EXPECT_TRUE(brCut.Overread());
}

TEST(BitReader, DropsEmulationPreventionBytesOfPayloadsOnly) {
    const Bytes data = {0x00, 0x00, 0x03, 0x01, 0xAB};
    qx::BitReader payload(data.data(), data.size());
    EXPECT_EQ(payload.ReadBits(32), 0x000001ABu);
    EXPECT_TRUE(payload.Ok());

    qx::BitReader rbsp(data.data(), data.size(), qx::Escaping::kRbsp);
    EXPECT_EQ(rbsp.ReadBits(32), 0x00000301u);
}

TEST(Rbsp, ExtractRemovesEachEmulationPreventionByte) {
    struct Case {
        Bytes in;
        Bytes out;
    };
    const std::vector<Case> cases = {
        {{0x00, 0x00, 0x03, 0x01}, {0x00, 0x00, 0x01}},
        {{0x00, 0x00, 0x03, 0x03}, {0x00, 0x00, 0x03}},
        {{0x00, 0x00, 0x03, 0x00, 0x00, 0x03}, {0x00, 0x00, 0x00, 0x00}},
        // The zero run restarts behind a removed byte.
        {{0x00, 0x00, 0x03, 0x00, 0x03}, {0x00, 0x00, 0x00, 0x03}},
        {{0x00, 0x03, 0x00, 0x03}, {0x00, 0x03, 0x00, 0x03}},
        {{0x12, 0x00, 0x00, 0x03}, {0x12, 0x00, 0x00}},
        {{}, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(qx::ExtractRbsp(c.in.data(), c.in.size()), c.out);
    EXPECT_TRUE(qx::ExtractRbsp(nullptr, 5).empty());

    Bytes all;
    for (int i = 0; i < 600; ++i)
        all.push_back(uint8_t(i % 7 == 0 ? 0 : i % 5));
    EXPECT_EQ(qx::ExtractRbsp(Escape(all).data(), Escape(all).size()), all);
}

// --- ue(v) from a 32-bit window -------------------------------------------------------

TEST(UnSignedExpGolomb, ReadsOneCodeAndReportsItsLength) {
    uint32_t window = 0x80000000;
    uint32_t pos = 0;
    EXPECT_EQ(qx::UnSignedExpGolomb(window, pos), 0u);
    EXPECT_EQ(pos, 1u);

    window = 0x60000000;  // 011
    pos = 0;
    EXPECT_EQ(qx::UnSignedExpGolomb(window, pos), 2u);
    EXPECT_EQ(pos, 3u);

    // The code starts at the bit position: 0x0A << 4 is 1010..., the code "1".
    window = 0x0A000000;
    pos = 4;
    EXPECT_EQ(qx::UnSignedExpGolomb(window, pos), 0u);
    EXPECT_EQ(pos, 1u);
    EXPECT_EQ(window, 0xA0000000u);

    // Shifted: 0000 1010 0...: four zeros, so the nine bits 000010100 give 20 - 1.
    window = 0x00A00000;
    pos = 4;
    EXPECT_EQ(qx::UnSignedExpGolomb(window, pos), 19u);
    EXPECT_EQ(pos, 9u);

    window = 0x00010000;  // 15 zeros: the longest code that fits
    pos = 0;
    EXPECT_EQ(qx::UnSignedExpGolomb(window, pos), 0x7FFFu);
    EXPECT_EQ(pos, 31u);
}

TEST(UnSignedExpGolomb, WindowWithoutWholeCodeGivesZeroAndNoLength) {
    for (uint32_t window : {0u, 1u, 0x8000u, 0xFFFFu}) {
        uint32_t w = window;
        uint32_t pos = 0;
        EXPECT_EQ(qx::UnSignedExpGolomb(w, pos), 0u) << window;
        EXPECT_EQ(pos, 0u) << window;
    }
    // A code that starts inside the window but would need the bits shifted in.
    uint32_t w = 0x00000004;  // at position 24: 00000100 -> needs 11 bits, has 8
    uint32_t pos = 24;
    EXPECT_EQ(qx::UnSignedExpGolomb(w, pos), 0u);
    EXPECT_EQ(pos, 0u);
    for (uint32_t start : {32u, 33u, 1000u}) {
        uint32_t full = 0xFFFFFFFF;
        uint32_t p = start;
        EXPECT_EQ(qx::UnSignedExpGolomb(full, p), 0u);
        EXPECT_EQ(p, 0u);
    }
}

TEST(UnSignedExpGolomb, AgreesWithTheBitReader) {
    for (uint32_t value = 0; value < 70000; value += value < 300 ? 1 : 97) {
        for (unsigned offset : {0u, 1u, 7u}) {
            BitWriter bw;
            bw.Bits(offset, 0x55);
            bw.Ue(value);
            Bytes bytes = bw.Take();
            bytes.resize(4, 0);
            uint32_t window = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 |
                              uint32_t(bytes[2]) << 8 | bytes[3];
            uint32_t pos = offset;
            const uint32_t got = qx::UnSignedExpGolomb(window, pos);
            qx::BitReader br(bytes.data(), bytes.size(), qx::Escaping::kRbsp);
            br.SkipBits(offset);
            const uint32_t expected = br.ReadUe();
            if (br.BitsRead() <= 32) {
                EXPECT_EQ(got, expected) << value << " at " << offset;
                EXPECT_EQ(pos + offset, br.BitsRead()) << value << " at " << offset;
            } else {
                EXPECT_EQ(pos, 0u) << value << " at " << offset;
            }
        }
    }
}

// --- decoder limits -------------------------------------------------------------------

TEST(PictureLimits, AcceptsOnlySizesTheDecodersTake) {
    EXPECT_TRUE(qx::IsSanePictureSize(16, 16));
    EXPECT_TRUE(qx::IsSanePictureSize(1920, 1080));
    EXPECT_TRUE(qx::IsSanePictureSize(8192, 4320));
    EXPECT_TRUE(qx::IsSanePictureSize(4320, 8192));
    EXPECT_FALSE(qx::IsSanePictureSize(8192, 4322));  // area
    EXPECT_FALSE(qx::IsSanePictureSize(8192, 8192));
    EXPECT_FALSE(qx::IsSanePictureSize(8194, 16));
    EXPECT_FALSE(qx::IsSanePictureSize(14, 1080));
    EXPECT_FALSE(qx::IsSanePictureSize(0, 0));
    EXPECT_FALSE(qx::IsSanePictureSize(-1920, -1080));
    EXPECT_FALSE(qx::IsSanePictureSize(1921, 1080));
    EXPECT_FALSE(qx::IsSanePictureSize(1920, 1081));
    // Products that wrap in 32 or 64 bits.
    EXPECT_FALSE(qx::IsSanePictureSize(int64_t{1} << 32, int64_t{1} << 32));
    EXPECT_FALSE(qx::IsSanePictureSize(INT64_MAX - 1, 2));
}

// --- H.264 SPS from real encoders -----------------------------------------------------

struct H264Case {
    EncodeParams enc;
    int width;  // the cropped frame
    int height;
    uint32_t profile;
    uint32_t chromaFormat;
    uint32_t frameMbsOnly;
};

class H264RealSps : public testing::TestWithParam<H264Case> {};

TEST_P(H264RealSps, PictureSizeIsTheCroppedFrame) {
    const H264Case& c = GetParam();
    const Bytes au = EncodeFirstPacket(c.enc);
    if (au.empty())
        GTEST_SKIP() << c.enc.encoder << " not available";
    const Bytes sps = FindUnit(au, 7, false);
    ASSERT_FALSE(sps.empty());

    ReadResult r = ReadSps(sps);
    ASSERT_TRUE(r.ok) << r.messages;
    EXPECT_EQ(r.messages, "");
    EXPECT_EQ(r.sps.profile_idc, c.profile);
    EXPECT_EQ(r.sps.chroma_format_idc, c.chromaFormat);
    EXPECT_EQ(r.sps.frame_mbs_only_flag, c.frameMbsOnly);
    EXPECT_EQ(r.sps.mb_width, uint32_t(c.enc.width + 15) / 16);
    EXPECT_TRUE(r.sps.vui_parameters_present_flag);
    EXPECT_TRUE(r.sps.vui.timing_info_present_flag);
    // x264 signals 25 frames per second as two fields per tick.
    EXPECT_EQ(uint64_t{r.sps.vui.time_scale}, 50u * r.sps.vui.num_units_in_tick);

    int w = 0, h = 0;
    ASSERT_TRUE(qx::ReadH264PictureSize(sps.data(), sps.size(), &w, &h));
    EXPECT_EQ(w, c.width);
    EXPECT_EQ(h, c.height);

    // Behind a three-byte start code the same unit reads the same.
    const Bytes shortStart(sps.begin() + 1, sps.end());
    ASSERT_EQ(shortStart[2], 1);
    int w3 = 0, h3 = 0;
    ASSERT_TRUE(qx::ReadH264PictureSize(shortStart.data(), shortStart.size(), &w3, &h3));
    EXPECT_EQ(w3, w);
    EXPECT_EQ(h3, h);
}

TEST_P(H264RealSps, TruncatedUnitsAreRefused) {
    const Bytes au = EncodeFirstPacket(GetParam().enc);
    if (au.empty())
        GTEST_SKIP();
    const Bytes sps = FindUnit(au, 7, false);
    ASSERT_GT(sps.size(), 6u);
    // Whatever byte the VUI ends in, every cut of two or more bytes loses VUI bits.
    // Each prefix is a buffer of its own so that a sanitizer build sees any read
    // beyond it.
    for (size_t len = 0; len + 1 < sps.size(); ++len) {
        const Bytes prefix(sps.begin(), sps.begin() + long(len));
        int w = -5, h = -5;
        EXPECT_FALSE(qx::ReadH264PictureSize(prefix.data(), prefix.size(), &w, &h)) << len;
        EXPECT_EQ(w, -5);
        EXPECT_EQ(h, -5);
    }
}

TEST_P(H264RealSps, ShortParserAgreesWithTheFullReader) {
    const Bytes au = EncodeFirstPacket(GetParam().enc);
    if (au.empty())
        GTEST_SKIP();
    const Bytes sps = FindUnit(au, 7, false);
    ReadResult full = ReadSps(sps);
    ASSERT_TRUE(full.ok);
    // The short parser starts at seq_parameter_set_id: start code, NAL header,
    // profile, constraint flags and level come before it.
    const long startCode = sps[2] == 1 ? 3 : 4;
    const Bytes rest(sps.begin() + startCode + 1 + 3, sps.end());
    SPS_DATA data;
    data.profile_idc = 77777;  // not one of the members it fills
    ASSERT_TRUE(qx::ParseSPS(rest.data(), rest.size(), int(full.sps.profile_idc), data));
    EXPECT_EQ(data.profile_idc, 77777u);
    EXPECT_EQ(data.seq_parameter_set_id, full.sps.sps_id);
    EXPECT_EQ(data.chroma_format_idc, full.sps.chroma_format_idc);
    EXPECT_EQ(data.bit_depth_luma_minus8, full.sps.bit_depth_luma - 8);
    EXPECT_EQ(data.pic_order_cnt_type, full.sps.poc_type);
    EXPECT_EQ(data.log2_max_frame_num_minus4, full.sps.log2_max_frame_num_minus4);
    EXPECT_EQ(data.log2_max_pic_order_cnt_lsb_minus4, full.sps.log2_max_poc_lsb_minus4);
    EXPECT_EQ(data.max_num_ref_frames, full.sps.ref_frame_count);
    EXPECT_EQ(data.pic_width_in_mbs_minus1 + 1, full.sps.mb_width);
    EXPECT_EQ(data.pic_height_in_map_units_minus1 + 1, full.sps.mb_height);

    SPS_DATA unbounded;
    ASSERT_TRUE(qx::ParseSPS(rest.data(), int(full.sps.profile_idc), unbounded));
    EXPECT_EQ(unbounded.pic_width_in_mbs_minus1, data.pic_width_in_mbs_minus1);
    EXPECT_EQ(unbounded.pic_height_in_map_units_minus1, data.pic_height_in_map_units_minus1);

    SPS_DATA cut;
    EXPECT_FALSE(qx::ParseSPS(rest.data(), 2, int(full.sps.profile_idc), cut));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, H264RealSps,
    testing::Values(H264Case{{"libx264", 352, 288}, 352, 288, 100, 1, 1},
                    H264Case{{"libx264", 1280, 720}, 1280, 720, 100, 1, 1},
                    // 68 macroblock rows with a bottom crop of 4 chroma rows.
                    H264Case{{"libx264", 1920, 1080}, 1920, 1080, 100, 1, 1},
                    // The right crop counts in chroma columns.
                    H264Case{{"libx264", 360, 240}, 360, 240, 100, 1, 1},
                    H264Case{{"libx264", 200, 120}, 200, 120, 100, 1, 1},
                    H264Case{{"libx264", 202, 118}, 202, 118, 100, 1, 1},
                    // Baseline: no chroma block in the SPS.
                    H264Case{
                        {"libx264", 200, 120, AV_PIX_FMT_YUV420P, "ultrafast"}, 200, 120, 66, 1, 1},
                    // 4:2:2 crops whole rows: 128 - 8.
                    H264Case{{"libx264", 200, 120, AV_PIX_FMT_YUV422P}, 200, 120, 122, 2, 1},
                    H264Case{{"libx264", 360, 240, AV_PIX_FMT_YUV444P}, 360, 240, 244, 3, 1},
                    // Field coding: a map unit is a pair of macroblock rows, one per field.
                    H264Case{{"libx264", 352, 288, AV_PIX_FMT_YUV420P, "veryfast", "interlaced=1"},
                             352,
                             288,
                             100,
                             1,
                             0}));

// --- H.264 SPS checks on hand-built units --------------------------------------------

TEST(H264SpsChecks, PlainSpsReadsWithDefaults) {
    H264Fields f;
    f.profile = 66;
    ReadResult r = ReadSps(H264SpsNal(f));
    ASSERT_TRUE(r.ok) << r.messages;
    EXPECT_EQ(r.messages, "");
    EXPECT_EQ(r.sps.chroma_format_idc, 1u);
    EXPECT_EQ(r.sps.bit_depth_luma, 8u);
    EXPECT_EQ(r.sps.bit_depth_chroma, 8u);
    for (int i = 0; i < 6; ++i) {
        for (int j = 0; j < 64; ++j)
            EXPECT_EQ(r.sps.scaling_matrix8[i][j], 16);
        for (int j = 0; j < 16; ++j)
            EXPECT_EQ(r.sps.scaling_matrix4[i][j], 16);
    }
    EXPECT_EQ(r.sps.vui.sar_num, 0u);
    EXPECT_EQ(r.sps.vui.sar_den, 1u);
    int w = 0, h = 0;
    ASSERT_TRUE(qx::H264PictureSize(r.sps, &w, &h));
    EXPECT_EQ(w, 352);
    EXPECT_EQ(h, 288);
}

struct RejectCase {
    const char* name;
    H264Fields fields;
    std::string message;
};

H264Fields With(void (*change)(H264Fields&)) {
    H264Fields f;
    change(f);
    return f;
}

class H264SpsRejects : public testing::TestWithParam<RejectCase> {};

TEST_P(H264SpsRejects, RefusesWithTheMessage) {
    const RejectCase& c = GetParam();
    ReadResult r = ReadSps(H264SpsNal(c.fields));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.messages, c.message);
    int w = -5, h = -5;
    const Bytes nal = H264SpsNal(c.fields);
    EXPECT_FALSE(qx::ReadH264PictureSize(nal.data(), nal.size(), &w, &h));
    EXPECT_EQ(w, -5);
}

INSTANTIATE_TEST_SUITE_P(
    Table, H264SpsRejects,
    testing::Values(
        RejectCase{"SpsId", With([](H264Fields& f) { f.spsId = 40; }),
                   "sps_id (40) out of range\n"},
        RejectCase{"SpsId32", With([](H264Fields& f) { f.spsId = 32; }),
                   "sps_id (32) out of range\n"},
        RejectCase{"ChromaFormat", With([](H264Fields& f) { f.chromaFormat = 4; }),
                   "chroma_format_idc 4 is illegal\n"},
        RejectCase{"LumaDepth", With([](H264Fields& f) { f.lumaDepthMinus8 = 6; }),
                   "illegal bit depth value (14, 8)\n"},
        RejectCase{"ChromaDepth", With([](H264Fields& f) {
                       f.lumaDepthMinus8 = 2;
                       f.chromaDepthMinus8 = 5;
                   }),
                   "illegal bit depth value (10, 13)\n"},
        RejectCase{"HugeDepth", With([](H264Fields& f) { f.lumaDepthMinus8 = 0xFFFFFFFE; }),
                   "illegal bit depth value (2147483647, 8)\n"},
        RejectCase{"PocCycle", With([](H264Fields& f) {
                       f.pocType = 1;
                       f.pocCycle = 256;
                   }),
                   "poc_cycle_length overflow 256\n"},
        RejectCase{"PocType", With([](H264Fields& f) { f.pocType = 3; }), "illegal POC type 3\n"},
        RejectCase{"RefFrames", With([](H264Fields& f) { f.refFrames = 17; }),
                   "too many reference frames\n"},
        RejectCase{"MbWidth", With([](H264Fields& f) { f.mbWidthMinus1 = 0x7FFFFFE; }),
                   "mb_width/height overflow\n"},
        RejectCase{"MbHeight", With([](H264Fields& f) { f.mapUnitsMinus1 = 0xFFFFFFFE; }),
                   "mb_width/height overflow\n"},
        RejectCase{"AspectRatio", With([](H264Fields& f) {
                       f.vui = true;
                       f.aspectIdc = 17;
                   }),
                   "illegal aspect ratio\n"},
        RejectCase{"TimeScale", With([](H264Fields& f) {
                       f.vui = true;
                       f.timing = true;
                       f.timeScale = 0;
                   }),
                   "time_scale/num_units_in_tick invalid or unsupported (0/1001)\n"},
        RejectCase{"UnitsInTick", With([](H264Fields& f) {
                       f.vui = true;
                       f.timing = true;
                       f.numUnitsInTick = 0;
                   }),
                   "time_scale/num_units_in_tick invalid or unsupported (60000/0)\n"},
        RejectCase{"CpbCount", With([](H264Fields& f) {
                       f.vui = true;
                       f.cpbCountMinus1 = 32;
                   }),
                   "cpb_count 33 invalid\n"},
        RejectCase{"ReorderFrames", With([](H264Fields& f) {
                       f.vui = true;
                       f.reorderFrames = 17;
                   }),
                   "illegal num_reorder_frames 17\n"}),
    [](const testing::TestParamInfo<RejectCase>& info) { return info.param.name; });

TEST(H264SpsChecks, LimitsJustInsideTheTableAreAccepted) {
    H264Fields f;
    f.spsId = 31;
    f.lumaDepthMinus8 = 4;
    f.chromaDepthMinus8 = 4;
    f.pocType = 1;
    f.pocCycle = 255;
    f.refFrames = 16;
    f.vui = true;
    f.cpbCountMinus1 = 31;
    f.reorderFrames = 16;
    ReadResult r = ReadSps(H264SpsNal(f));
    ASSERT_TRUE(r.ok) << r.messages;
    EXPECT_EQ(r.sps.sps_id, 31u);
    EXPECT_EQ(r.sps.poc_cycle_length, 255u);
    EXPECT_EQ(r.sps.offset_for_non_ref_pic, -1);
    EXPECT_EQ(r.sps.vui.num_reorder_frames, 16u);
    EXPECT_EQ(r.sps.vui.nal_hrd_parameters_present_flag, 1u);
    EXPECT_EQ(r.sps.vui.colour_primaries, 1u);
    // The fields behind the HRD parameters landed where they belong.
    EXPECT_EQ(r.sps.vui.max_dec_frame_buffering, 4u);

    // mb_width just below the overflow limit passes the SPS check and fails the
    // picture limits.
    f = H264Fields();
    f.mbWidthMinus1 = 0x7FFFFFD;
    r = ReadSps(H264SpsNal(f));
    ASSERT_TRUE(r.ok) << r.messages;
    int w = 0, h = 0;
    EXPECT_FALSE(qx::H264PictureSize(r.sps, &w, &h));
}

TEST(H264SpsChecks, LeftOrTopCropWarnsAndReads) {
    H264Fields f;
    f.crop = true;
    f.cropLeft = 2;
    f.cropBottom = 4;
    ReadResult r = ReadSps(H264SpsNal(f));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.messages,
              "insane cropping not completely supported, this could look slightly wrong ... "
              "(left: 2, top: 0)\n");
    EXPECT_EQ(r.sps.crop_left, 2u);
    int w = 0, h = 0;
    ASSERT_TRUE(qx::H264PictureSize(r.sps, &w, &h));
    EXPECT_EQ(w, 352 - 2 * 2);
    EXPECT_EQ(h, 288 - 8);
}

TEST(H264SpsChecks, OversizedCropIsDisabled) {
    struct Case {
        uint64_t chroma, right, bottom;
        bool disabled;
    };
    const Case cases[] = {
        {1, 8, 0, true},   {1, 0, 8, true},  {1, 7, 7, false},   {2, 8, 15, true},
        {2, 7, 15, false}, {2, 7, 16, true}, {3, 15, 15, false}, {3, 16, 0, true},
    };
    for (const Case& c : cases) {
        H264Fields f;
        f.chromaFormat = c.chroma;
        f.profile = 244;
        f.crop = true;
        f.cropRight = c.right;
        f.cropBottom = c.bottom;
        ReadResult r = ReadSps(H264SpsNal(f));
        ASSERT_TRUE(r.ok) << c.chroma << " " << c.right << " " << c.bottom;
        const std::string message = "brainfart cropping not supported, cropping disabled (right: " +
                                    std::to_string(c.right) +
                                    ", bottom: " + std::to_string(c.bottom) + ")\n";
        EXPECT_EQ(r.messages, c.disabled ? message : "");
        EXPECT_EQ(r.sps.crop_bottom, c.disabled ? 0u : c.bottom);
        EXPECT_EQ(r.sps.crop_right, c.disabled ? 0u : c.right);
    }
}

TEST(H264SpsChecks, BottomCropUnitDependsOnChromaAndFieldCoding) {
    struct Case {
        uint32_t profile;
        uint64_t chroma;
        bool frameMbsOnly;
        uint64_t cropBottom;
        int height;  // -1: refused
    };
    // 18 map units: 16 rows each, or 32 (one macroblock row per field) field coded.
    const Case cases[] = {
        {100, 1, true, 2, 288 - 2 * 2},
        {100, 1, false, 2, 576 - 2 * 4},
        {122, 2, true, 2, 288 - 2},
        {122, 2, false, 2, 576 - 2 * 2},
        {244, 3, true, 2, 288 - 2},
        {244, 0, true, 2, 288 - 2},
        {244, 0, false, 2, 576 - 2 * 2},
        // One row off 4:2:2 leaves an odd height, which the decoders do not take.
        {122, 2, true, 3, -1},
    };
    for (const Case& c : cases) {
        H264Fields f;
        f.profile = c.profile;
        f.chromaFormat = c.chroma;
        f.frameMbsOnly = c.frameMbsOnly;
        f.crop = true;
        f.cropBottom = c.cropBottom;
        const Bytes nal = H264SpsNal(f);
        int w = 0, h = 0;
        const bool ok = qx::ReadH264PictureSize(nal.data(), nal.size(), &w, &h);
        if (c.height < 0) {
            EXPECT_FALSE(ok) << c.chroma;
            continue;
        }
        ASSERT_TRUE(ok) << c.chroma << " " << c.frameMbsOnly;
        EXPECT_EQ(w, 352);
        EXPECT_EQ(h, c.height) << c.chroma << " " << c.frameMbsOnly;
    }
}

TEST(H264SpsChecks, SampleAspectRatio) {
    struct Case {
        int idc;
        uint32_t width, height;
        uint32_t num, den;
    };
    const Case cases[] = {{0, 0, 0, 0, 1},       {1, 0, 0, 1, 1},   {2, 0, 0, 12, 11},
                          {13, 0, 0, 160, 99},   {14, 0, 0, 4, 3},  {16, 0, 0, 2, 1},
                          {255, 40, 33, 40, 33}, {255, 7, 0, 7, 1}, {-1, 0, 0, 0, 1}};
    for (const Case& c : cases) {
        H264Fields f;
        f.vui = true;
        f.aspectIdc = c.idc;
        f.sarWidth = c.width;
        f.sarHeight = c.height;
        ReadResult r = ReadSps(H264SpsNal(f));
        ASSERT_TRUE(r.ok) << c.idc << r.messages;
        EXPECT_EQ(r.sps.vui.sar_num, c.num) << c.idc;
        EXPECT_EQ(r.sps.vui.sar_den, c.den) << c.idc;
    }
}

TEST(H264SpsChecks, ScalingListsUseDefaultsAndFallBack) {
    H264Fields f;
    f.scalingMatrix = true;
    ReadResult r = ReadSps(H264SpsNal(f));
    ASSERT_TRUE(r.ok) << r.messages;
    const uint8_t intra4[16] = {6, 13, 13, 20, 20, 20, 28, 28, 28, 28, 32, 32, 32, 37, 37, 42};
    // List 0 asks for the default and 1 and 2 fall back to it; list 3 is coded flat (a
    // first delta of 8 makes 16, then deltas of 0) and 4 and 5 fall back to it.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(0, std::memcmp(r.sps.scaling_matrix4[i], intra4, 16));
    for (int i = 3; i < 6; ++i) {
        for (int j = 0; j < 16; ++j)
            EXPECT_EQ(r.sps.scaling_matrix4[i][j], 16) << i << "," << j;
    }
    EXPECT_EQ(r.sps.scaling_matrix8[0][0], 6);
    EXPECT_EQ(r.sps.scaling_matrix8[0][63], 42);
    // List 7 is absent: the 8x8 inter default.
    EXPECT_EQ(r.sps.scaling_matrix8[1][0], 9);
    EXPECT_EQ(r.sps.scaling_matrix8[1][63], 35);
    // The fields behind the lists are where they belong.
    int w = 0, h = 0;
    ASSERT_TRUE(qx::H264PictureSize(r.sps, &w, &h));
    EXPECT_EQ(w, 352);
    EXPECT_EQ(h, 288);
}

TEST(H264SpsChecks, TruncatedVuiIsAnOverread) {
    H264Fields f;
    f.vui = true;
    f.timing = true;
    f.reorderFrames = 2;
    const Bytes rbsp = H264Rbsp(f);
    ASSERT_TRUE(ReadSps(Nal({0x67}, rbsp)).ok);
    // Cut inside the bitstream restriction fields, behind the timing info.
    const Bytes cut(rbsp.begin(), rbsp.end() - 2);
    ReadResult r = ReadSps(Nal({0x67}, cut));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.messages.rfind("Overread VUI by ", 0), 0u) << r.messages;
    EXPECT_EQ(r.messages.substr(r.messages.size() - 6), " bits\n");

    // Cut inside the timing info: reported as the overread, not as a zero time scale.
    H264Fields t;
    t.vui = true;
    t.timing = true;
    const Bytes timing = H264Rbsp(t);
    const Bytes timingCut(timing.begin(), timing.end() - 6);
    r = ReadSps(Nal({0x67}, timingCut));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.messages.rfind("Overread VUI by ", 0), 0u) << r.messages;
}

TEST(H264SpsChecks, EmulationPreventionBytesAreRemoved) {
    H264Fields f;
    f.vui = true;
    f.timing = true;
    f.numUnitsInTick = 1;
    f.timeScale = 2;
    const Bytes rbsp = H264Rbsp(f);
    const Bytes nal = Nal({0x67}, rbsp);
    ASSERT_GT(nal.size(), rbsp.size() + 5) << "the case must need emulation prevention";
    ReadResult r = ReadSps(nal);
    ASSERT_TRUE(r.ok) << r.messages;
    EXPECT_EQ(r.sps.vui.num_units_in_tick, 1u);
    EXPECT_EQ(r.sps.vui.time_scale, 2u);
}

TEST(H264SpsChecks, OnlySpsUnitsAreRead) {
    const Bytes rbsp = H264Rbsp(H264Fields());
    ReadResult r = ReadSps(Nal({0x68}, rbsp));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.messages, "not an SPS NAL unit\n");
    Bytes noStart = Nal({0x67}, rbsp);
    noStart[3] = 2;
    EXPECT_FALSE(ReadSps(noStart).ok);
    int w = 0, h = 0;
    EXPECT_FALSE(qx::ReadH264PictureSize(nullptr, 100, &w, &h));
    const Bytes headerOnly = {0, 0, 1, 0x67};
    EXPECT_FALSE(qx::ReadH264PictureSize(headerOnly.data(), headerOnly.size(), &w, &h));
}

TEST(H264SpsChecks, InvalidCodeInTheBodyIsRefused) {
    // High profile, then sps_id with 32 leading zeros.
    Bytes nal = {0, 0, 0, 1, 0x67, 100, 0, 40, 0, 0, 0, 0, 0x80, 0x80};
    ReadResult r = ReadSps(nal);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.messages.empty());
}

// --- H.265 SPS --------------------------------------------------------------------------

struct HevcCase {
    int width;
    int height;
};

class HevcRealSps : public testing::TestWithParam<HevcCase> {};

TEST_P(HevcRealSps, ExactCroppedSize) {
    const HevcCase& c = GetParam();
    const Bytes au =
        EncodeFirstPacket({"libx265", c.width, c.height, AV_PIX_FMT_YUV420P, "ultrafast"});
    if (au.empty())
        GTEST_SKIP() << "libx265 not available";
    const Bytes sps = FindUnit(au, 33, true);
    ASSERT_FALSE(sps.empty());
    int w = 0, h = 0;
    ASSERT_TRUE(qx::ReadHevcPictureSize(sps.data(), sps.size(), &w, &h));
    EXPECT_EQ(w, c.width);
    EXPECT_EQ(h, c.height);
    EXPECT_EQ(H264UtilsA::parse_hevc_sps(sps.data(), int(sps.size()), &w, &h), 0);
    EXPECT_EQ(w, c.width);
    EXPECT_EQ(h, c.height);

    // The size fields come early; every cut before them is refused.
    for (size_t len = 0; len < 18 && len < sps.size(); ++len) {
        const Bytes prefix(sps.begin(), sps.begin() + long(len));
        int pw = -5, ph = -5;
        EXPECT_EQ(H264UtilsA::parse_hevc_sps(prefix.data(), int(len), &pw, &ph), -1) << len;
        EXPECT_EQ(pw, -5);
        EXPECT_EQ(ph, -5);
    }
    // The VPS ahead of it is not an SPS.
    const Bytes vps = FindUnit(au, 32, true);
    ASSERT_FALSE(vps.empty());
    EXPECT_FALSE(qx::ReadHevcPictureSize(vps.data(), vps.size(), &w, &h));
}

INSTANTIATE_TEST_SUITE_P(Sizes, HevcRealSps,
                         testing::Values(HevcCase{352, 288}, HevcCase{1280, 720},
                                         HevcCase{1920, 1080}, HevcCase{360, 240},
                                         HevcCase{200, 120}, HevcCase{202, 118}));

int HevcParse(const HevcFields& f, int* w, int* h) {
    const Bytes nal = HevcSpsNal(f);
    return H264UtilsA::parse_hevc_sps(nal.data(), int(nal.size()), w, h);
}

TEST(HevcSps, ReadsSizeBehindSubLayerProfiles) {
    HevcFields f;
    int w = 0, h = 0;
    ASSERT_EQ(HevcParse(f, &w, &h), 0);
    EXPECT_EQ(w, 1280);
    EXPECT_EQ(h, 720);

    // Every mix of sub-layer profile and level presence shifts the fields behind it.
    f.subLayersMinus1 = 3;
    f.subLayerPresent = {{true, true}, {false, true}, {true, false}};
    ASSERT_EQ(HevcParse(f, &w, &h), 0);
    EXPECT_EQ(w, 1280);
    EXPECT_EQ(h, 720);
    f.subLayersMinus1 = 6;
    f.subLayerPresent = {{true, true},  {false, false}, {true, false},
                         {false, true}, {true, true},   {false, false}};
    ASSERT_EQ(HevcParse(f, &w, &h), 0);
    EXPECT_EQ(w, 1280);
    EXPECT_EQ(h, 720);
}

TEST(HevcSps, ConformanceWindowCountsInPairs) {
    HevcFields f;
    f.width = 1920;
    f.height = 1088;
    f.window = true;
    f.bottom = 4;
    int w = 0, h = 0;
    ASSERT_EQ(HevcParse(f, &w, &h), 0);
    EXPECT_EQ(w, 1920);
    EXPECT_EQ(h, 1080);
    f.left = 1;
    f.right = 2;
    f.top = 3;
    f.bottom = 1;
    ASSERT_EQ(HevcParse(f, &w, &h), 0);
    EXPECT_EQ(w, 1920 - 6);
    EXPECT_EQ(h, 1088 - 8);
}

TEST(HevcSps, RefusedUnits) {
    struct Case {
        const char* what;
        void (*change)(HevcFields&);
    };
    const Case cases[] = {
        {"chroma_format_idc 0", [](HevcFields& f) { f.chromaFormat = 0; }},
        {"chroma_format_idc 4", [](HevcFields& f) { f.chromaFormat = 4; }},
        {"eight sub-layers",
         [](HevcFields& f) {
             f.subLayersMinus1 = 7;
             f.subLayerPresent.assign(7, {false, false});
         }},
        {"sps id 32", [](HevcFields& f) { f.spsId = 32; }},
        {"zero width", [](HevcFields& f) { f.width = 0; }},
        {"width beyond the decoders", [](HevcFields& f) { f.width = 8200; }},
        {"window larger than the picture",
         [](HevcFields& f) {
             f.window = true;
             f.right = 0xFFFFFFF0;
         }},
        {"odd height", [](HevcFields& f) { f.height = 719; }},
    };
    for (const Case& c : cases) {
        HevcFields f;
        c.change(f);
        int w = -5, h = -5;
        EXPECT_EQ(HevcParse(f, &w, &h), -1) << c.what;
        EXPECT_EQ(w, -5) << c.what;
        EXPECT_EQ(h, -5) << c.what;
    }
    int w = 0, h = 0;
    EXPECT_EQ(H264UtilsA::parse_hevc_sps(nullptr, 10, &w, &h), -1);
    const Bytes nal = HevcSpsNal(HevcFields());
    EXPECT_EQ(H264UtilsA::parse_hevc_sps(nal.data(), -1, &w, &h), -1);
    EXPECT_EQ(H264UtilsA::parse_hevc_sps(nal.data(), 6, &w, &h), -1);
}

TEST(HevcSps, EmulationPreventionBytesAreRemoved) {
    HevcFields f;
    f.width = 0x300;
    f.height = 0x200;
    const Bytes nal = HevcSpsNal(f);
    // The zero compatibility and constraint bits force escapes into the payload.
    const Bytes payload(nal.begin() + 6, nal.end());
    ASSERT_LT(qx::ExtractRbsp(payload.data(), payload.size()).size(), payload.size());
    int w = 0, h = 0;
    ASSERT_EQ(H264UtilsA::parse_hevc_sps(nal.data(), int(nal.size()), &w, &h), 0);
    EXPECT_EQ(w, 0x300);
    EXPECT_EQ(h, 0x200);
}

}  // namespace
