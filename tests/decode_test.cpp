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
    return std::unique_ptr<H264Decode>(codec == Codec::H264 ? new H264Decode : new H265Decode);
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

// The packets of a stream and the pictures the reference decoder makes of them.
auto StreamAndPictures(Codec codec, int width, int height, int frames) {
    qx::kit::StreamOptions options;
    options.codec = codec;
    options.width = width;
    options.height = height;
    options.frames = frames;
    options.gop = 5;
    auto packets = qx::kit::StreamWriter::MakePackets(options);
    auto reference = qx::kit::ReferenceDecoder::DecodeElementaryStream(
        codec, qx::kit::ElementaryStream(packets));
    return std::pair{packets, reference};
}

bool Decode(H264Decode& decoder, const std::vector<uint8_t>& bytes) {
    return decoder.DecodeH264ToYUV12(bytes.data(), static_cast<int>(bytes.size()));
}

class EitherCodec : public testing::TestWithParam<Codec> {};

TEST_P(EitherCodec, DecodesEachAccessUnitAtOnceWithTheReferencePixels) {
    for (auto [width, height, frames] : {std::tuple{352, 288, 12}, std::tuple{1280, 720, 4}}) {
        SCOPED_TRACE(width);
        const auto [packets, reference] = StreamAndPictures(GetParam(), width, height, frames);
        auto decoder = MakeDecoder(GetParam());
        ASSERT_TRUE(decoder->CreateDecode(width, height, 3));
        EXPECT_EQ(decoder->GetDecodeType(), GetParam() == Codec::H264 ? 0 : 10);
        size_t pictures = 0;
        for (const auto& p : packets) {
            const bool parameterOnly = GetParam() == Codec::H265 && p.payload.size() > 4 &&
                                       ((p.payload[4] >> 1) & 0x3f) == 32;
            const bool got = Decode(*decoder, p.payload);
            EXPECT_EQ(got, !parameterOnly) << "packet " << p.header.idx;
            pictures += got;
            // A unit without a picture leaves the last picture as it was.
            if (pictures == 0)
                continue;
            ASSERT_LE(pictures, reference.size());
            const Picture shown = Copy(decoder->Frame(), width, height);
            const auto& expected = reference[pictures - 1];
            EXPECT_TRUE(shown.y == expected.y && shown.u == expected.u && shown.v == expected.v)
                << "picture " << pictures - 1;
            EXPECT_EQ(decoder->Frame().width, static_cast<uint32_t>(width));
        }
        EXPECT_EQ(pictures, static_cast<size_t>(frames));
    }
}

TEST_P(EitherCodec, RefusesBadSizesAndTakesAnyBytesSafely) {
    LogCapture log;
    struct Size {
        int w, h, sid;
        bool ok;
    };
    for (Size s : {Size{19, 100, 0, false}, Size{20, 21, 0, true}, Size{20, 20, 0, false},
                   Size{8193, 100, 0, false}, Size{3840, 2160, 0, true}, Size{8192, 8192, 0, true},
                   Size{352, 288, -1, false}}) {
        SCOPED_TRACE(std::to_string(s.w) + "x" + std::to_string(s.h));
        EXPECT_EQ(MakeDecoder(GetParam())->CreateDecode(s.w, s.h, s.sid), s.ok);
    }
    auto decoder = MakeDecoder(GetParam());
    const uint8_t idr[] = {0, 0, 0, 1, 0x65, 0x88};
    EXPECT_FALSE(decoder->DecodeH264ToYUV12(idr, sizeof idr)) << "before creation";
    ASSERT_TRUE(decoder->CreateDecode(352, 288, 0));
    EXPECT_FALSE(decoder->DecodeH264ToYUV12(nullptr, 100));
    uint8_t one = 0;
    EXPECT_FALSE(decoder->DecodeH264ToYUV12(&one, 0));
    EXPECT_FALSE(decoder->DecodeH264ToYUV12(&one, -5));
    std::mt19937 rng(5);
    for (int i = 0; i < 200; ++i) {
        std::vector<uint8_t> junk = qx::kit::MakeJunk(4 + rng() % 4000, rng);
        junk[0] = 0, junk[1] = 0, junk[2] = 0, junk[3] = 1;
        Decode(*decoder, junk);
    }
}

TEST_P(EitherCodec, AStreamOfAnotherSizeIsClippedOrPadded) {
    const auto [packets, reference] = StreamAndPictures(GetParam(), 320, 240, 1);
    for (auto [w, h] : {std::pair{160, 120}, std::pair{640, 480}}) {
        SCOPED_TRACE(w);
        auto decoder = MakeDecoder(GetParam());
        ASSERT_TRUE(decoder->CreateDecode(w, h, 0));
        bool got = false;
        for (const auto& p : packets)
            got = Decode(*decoder, p.payload);
        ASSERT_TRUE(got);
        const Picture shown = Copy(decoder->Frame(), w, h);
        // Row 10 of the picture, as far as both sizes reach; black beyond.
        for (int x = 0; x < w; ++x) {
            const uint8_t expected = x < 320 ? reference[0].y[10 * 320 + x] : 16;
            ASSERT_EQ(shown.y[static_cast<size_t>(10) * w + x], expected) << x;
        }
        EXPECT_TRUE(h <= 240 || shown.y[static_cast<size_t>(300) * w + 5] == 16);
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, EitherCodec, testing::Values(Codec::H264, Codec::H265),
                         [](const testing::TestParamInfo<Codec>& info) {
                             return info.param == Codec::H264 ? "H264" : "H265";
                         });

void IgnoreLog(uint32_t, int32_t, const char*, ...) {}

H265D_INIT_PARAM GoodParam() {
    H265D_INIT_PARAM p{};
    p.iMaxWidth = 352;
    p.iMaxHeight = 288;
    p.iMaxRefNum = 4;
    p.MallocFxn = [](uint32_t, size_t n) { return std::malloc(n); };
    p.FreeFxn = [](uint32_t, void* block) { std::free(block); };
    p.LogFxn = &IgnoreLog;
    return p;
}

TEST(H265Engine, RefusesBadRecordsWithTheirCodes) {
    EXPECT_EQ(H265D_Create(nullptr, nullptr), H265D_ERR_HANDLE);
    const std::pair<void (*)(H265D_INIT_PARAM&), uint32_t> refused[] = {
        {[](H265D_INIT_PARAM& p) { p.iMaxWidth = 7; }, 0xF0402001u},
        {[](H265D_INIT_PARAM& p) { p.iMaxHeight = 8193; }, 0xF0402002u},
        {[](H265D_INIT_PARAM& p) { p.iMaxRefNum = 16; }, 0xF0402003u},
        {[](H265D_INIT_PARAM& p) { p.eThreadType = 2; }, 0xF0402004u},
        {[](H265D_INIT_PARAM& p) { p.MallocFxn = nullptr; }, 0xF0402005u},
        {[](H265D_INIT_PARAM& p) { p.FreeFxn = nullptr; }, 0xF0402006u},
        {[](H265D_INIT_PARAM& p) { p.LogFxn = nullptr; }, 0xF0402007u},
    };
    void* handle = nullptr;
    for (const auto& [change, code] : refused) {
        H265D_INIT_PARAM p = GoodParam();
        change(p);
        handle = &p;
        EXPECT_EQ(H265D_Create(&handle, &p), code);
        EXPECT_EQ(handle, nullptr);
    }
    H265D_INIT_PARAM p = GoodParam();
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
