// The H.264 and H.265 decoders as the play loop drives them: one access unit in,
// its picture out at once, packed to the size they were created for.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "decode/H265Decode.h"
#include "streamkit/StreamKit.h"
#include "support/LogCapture.h"

namespace {

using qx::kit::Codec;

std::unique_ptr<H264Decode> MakeDecoder(Codec codec) {
    if (codec == Codec::H264)
        return std::make_unique<H264Decode>();
    return std::make_unique<H265Decode>();
}

struct Picture {
    std::vector<uint8_t> y, u, v;
};

Picture Copy(const H264_DEC_FRAME& f, int w, int h) {
    const size_t luma = static_cast<size_t>(w) * h;
    Picture p{std::vector<uint8_t>(luma), std::vector<uint8_t>(luma / 4),
              std::vector<uint8_t>(luma / 4)};
    qx::CopyFramePacked(f, p.y.data(), p.u.data(), p.v.data());
    return p;
}

struct SizeCase {
    Codec codec;
    int width;
    int height;
    int frames;
};

class DecodesEachAccessUnit : public testing::TestWithParam<SizeCase> {};

TEST_P(DecodesEachAccessUnit, AtOnceWithTheReferencePixels) {
    const SizeCase& c = GetParam();
    qx::kit::StreamOptions options;
    options.codec = c.codec;
    options.width = c.width;
    options.height = c.height;
    options.frames = c.frames;
    options.gop = 5;
    const auto packets = qx::kit::StreamWriter::MakePackets(options);
    const auto reference = qx::kit::ReferenceDecoder::DecodeElementaryStream(
        c.codec, qx::kit::ElementaryStream(packets));
    auto decoder = MakeDecoder(c.codec);
    ASSERT_TRUE(decoder->CreateDecode(c.width, c.height, 3));
    EXPECT_EQ(decoder->GetDecodeType(), c.codec == Codec::H264 ? 0 : 10);
    size_t pictures = 0;
    for (const auto& p : packets) {
        const bool parameterOnly =
            c.codec == Codec::H265 && p.payload.size() > 4 && ((p.payload[4] >> 1) & 0x3f) == 32;
        const bool got =
            decoder->DecodeH264ToYUV12(p.payload.data(), static_cast<int>(p.payload.size()));
        EXPECT_EQ(got, !parameterOnly) << "packet " << p.header.idx;
        if (!got)
            continue;
        ASSERT_LT(pictures, reference.size());
        const Picture shown = Copy(decoder->Frame(), c.width, c.height);
        EXPECT_TRUE(shown.y == reference[pictures].y && shown.u == reference[pictures].u &&
                    shown.v == reference[pictures].v)
            << "picture " << pictures;
        EXPECT_EQ(decoder->Frame().width, static_cast<uint32_t>(c.width));
        ++pictures;
    }
    EXPECT_EQ(pictures, static_cast<size_t>(c.frames));
}

INSTANTIATE_TEST_SUITE_P(Streams, DecodesEachAccessUnit,
                         testing::Values(SizeCase{Codec::H264, 352, 288, 12},
                                         SizeCase{Codec::H265, 352, 288, 12},
                                         SizeCase{Codec::H264, 1280, 720, 4},
                                         SizeCase{Codec::H265, 1280, 720, 4}));

class EitherCodec : public testing::TestWithParam<Codec> {};

TEST_P(EitherCodec, BorderCheck) {
    LogCapture log;
    struct Size {
        int w, h, sid;
        bool ok;
    };
    for (Size s : {Size{19, 100, 0, false}, Size{20, 21, 0, true}, Size{20, 20, 0, false},
                   Size{8193, 100, 0, false}, Size{3840, 2160, 0, true}, Size{8192, 8192, 0, true},
                   Size{352, 288, -1, false}}) {
        SCOPED_TRACE(std::to_string(s.w) + "x" + std::to_string(s.h));
        auto decoder = MakeDecoder(GetParam());
        EXPECT_EQ(decoder->CreateDecode(s.w, s.h, s.sid), s.ok);
    }
}

TEST_P(EitherCodec, DecodingBeforeCreationFails) {
    auto decoder = MakeDecoder(GetParam());
    const uint8_t bytes[] = {0, 0, 0, 1, 0x65, 0x88};
    EXPECT_FALSE(decoder->DecodeH264ToYUV12(bytes, sizeof bytes));
}

TEST_P(EitherCodec, AnyBytesAreSafe) {
    auto decoder = MakeDecoder(GetParam());
    ASSERT_TRUE(decoder->CreateDecode(352, 288, 0));
    std::mt19937 rng(5);
    EXPECT_FALSE(decoder->DecodeH264ToYUV12(nullptr, 100));
    uint8_t one = 0;
    EXPECT_FALSE(decoder->DecodeH264ToYUV12(&one, 0));
    EXPECT_FALSE(decoder->DecodeH264ToYUV12(&one, -5));
    for (int i = 0; i < 200; ++i) {
        std::vector<uint8_t> junk(1 + rng() % 4000);
        for (auto& b : junk)
            b = static_cast<uint8_t>(rng());
        junk[0] = 0, junk[1] = 0, junk[2] = 0, junk[3] = 1;
        decoder->DecodeH264ToYUV12(junk.data(), static_cast<int>(junk.size()));
    }
}

TEST_P(EitherCodec, AStreamOfAnotherSizeIsClippedOrPadded) {
    qx::kit::StreamOptions options;
    options.codec = GetParam();
    options.width = 320;
    options.height = 240;
    options.frames = 1;
    const auto packets = qx::kit::StreamWriter::MakePackets(options);
    const auto reference = qx::kit::ReferenceDecoder::DecodeElementaryStream(
        GetParam(), qx::kit::ElementaryStream(packets));
    for (auto [w, h] : {std::pair{160, 120}, std::pair{640, 480}}) {
        SCOPED_TRACE(w);
        auto decoder = MakeDecoder(GetParam());
        ASSERT_TRUE(decoder->CreateDecode(w, h, 0));
        bool got = false;
        for (const auto& p : packets)
            got = decoder->DecodeH264ToYUV12(p.payload.data(), static_cast<int>(p.payload.size()));
        ASSERT_TRUE(got);
        const Picture shown = Copy(decoder->Frame(), w, h);
        // Row 10 of the picture, as far as both sizes reach; black beyond.
        for (int x = 0; x < w; ++x) {
            const uint8_t expected = x < 320 ? reference[0].y[10 * 320 + x] : 16;
            ASSERT_EQ(shown.y[static_cast<size_t>(10) * w + x], expected) << x;
        }
        if (h > 240) {
            EXPECT_EQ(shown.y[static_cast<size_t>(300) * w + 5], 16);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, EitherCodec, testing::Values(Codec::H264, Codec::H265),
                         [](const testing::TestParamInfo<Codec>& info) {
                             return info.param == Codec::H264 ? "H264" : "H265";
                         });

TEST(H265Adapter, PlanesOfTheCreatedSize) {
    H265Decode decoder;
    ASSERT_TRUE(decoder.CreateDecode(1920, 1080, 0));
    const H264_DEC_FRAME& f = decoder.Frame();
    EXPECT_EQ(f.pU - f.pY, 2073600);
    EXPECT_EQ(f.pV - f.pY, 2592000);
}

TEST(H265Adapter, AUnitWithoutPictureLeavesThePictureAlone) {
    H265Decode decoder;
    ASSERT_TRUE(decoder.CreateDecode(64, 64, 0));
    const unsigned char* y = decoder.Frame().pY;
    std::vector<uint8_t> before(y, y + 64 * 64);
    const uint8_t vpsOnly[] = {0, 0, 0, 1, 0x40, 0x01, 0x0c, 0x01};
    EXPECT_FALSE(decoder.DecodeH264ToYUV12(vpsOnly, sizeof vpsOnly));
    EXPECT_EQ(std::vector<uint8_t>(y, y + 64 * 64), before);
}

void* TestMalloc(uint32_t, size_t n) {
    return std::malloc(n);
}
void TestFree(uint32_t, void* p) {
    std::free(p);
}
void TestLog(uint32_t, int32_t, const char*, ...) {}

H265D_INIT_PARAM GoodParam() {
    H265D_INIT_PARAM p{};
    p.iMaxWidth = 352;
    p.iMaxHeight = 288;
    p.iMaxRefNum = 4;
    p.MallocFxn = &TestMalloc;
    p.FreeFxn = &TestFree;
    p.LogFxn = &TestLog;
    return p;
}

TEST(H265Engine, RefusesBadRecordsWithTheirCodes) {
    void* handle = nullptr;
    EXPECT_EQ(H265D_Create(nullptr, nullptr), H265D_ERR_HANDLE);
    H265D_INIT_PARAM p = GoodParam();
    p.eThreadType = 2;
    EXPECT_EQ(H265D_Create(&handle, &p), 0xF0402004u);
    p = GoodParam();
    p.MallocFxn = nullptr;
    EXPECT_EQ(H265D_Create(&handle, &p), 0xF0402005u);
    p = GoodParam();
    p.FreeFxn = nullptr;
    EXPECT_EQ(H265D_Create(&handle, &p), 0xF0402006u);
    p = GoodParam();
    p.LogFxn = nullptr;
    EXPECT_EQ(H265D_Create(&handle, &p), 0xF0402007u);
    p = GoodParam();
    p.iMaxWidth = 7;
    EXPECT_NE(H265D_Create(&handle, &p), 0u);
    p = GoodParam();
    p.iMaxRefNum = 16;
    EXPECT_NE(H265D_Create(&handle, &p), 0u);
    EXPECT_EQ(handle, nullptr);
    p = GoodParam();
    p.eOutputOrder = 5;
    ASSERT_EQ(H265D_Create(&handle, &p), 0u) << "an unknown order is only a warning";

    H265D_INPUT in{};
    H265D_OUTPUT out{};
    EXPECT_EQ(H265D_Decode(handle, &in, &out), 0xF0402008u) << "null stream";
    EXPECT_EQ(H265D_Decode(nullptr, &in, &out), H265D_ERR_HANDLE);
    int notAnEngine = 0;
    EXPECT_EQ(H265D_Decode(&notAnEngine, &in, &out), 0xF0401001u);
    const uint8_t vps[] = {0, 0, 0, 1, 0x40, 0x01};
    in.pStream = vps;
    in.iStreamLen = sizeof vps;
    EXPECT_EQ(H265D_Decode(handle, &in, &out), 1u);
    EXPECT_EQ(out.iPictureStatus, 2);
    EXPECT_EQ(H265D_Delete(handle), 0u);
    EXPECT_EQ(H265D_Delete(handle), 0xF0401001u) << "a deleted engine is not live";
}

}  // namespace
