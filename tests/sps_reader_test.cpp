#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "api/RecH264Data.h"
#include "stream/ExpGolomb.h"
#include "stream/H264UtilsA.h"
#include "stream/SpsReader.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Size = std::pair<int, int>;

// Writes bit strings the way an encoder does, so that the readers can be given
// parameter sets with exactly the values a case needs.
class BitWriter {
  public:
    BitWriter& Bits(unsigned n, uint64_t value) {
        for (unsigned i = n; i-- > 0;)
            Bit((value >> i) & 1);
        return *this;
    }
    BitWriter& Flag(bool value) { return Bits(1, value); }
    BitWriter& Ue(uint64_t value) {
        unsigned length = 0;
        while (((value + 1) >> length) > 1)
            ++length;
        return Bits(length, 0).Bits(length + 1, value + 1);
    }
    BitWriter& Se(int64_t v) { return Ue(v > 0 ? 2 * uint64_t(v) - 1 : 2 * uint64_t(-v)); }
    // With rbsp_trailing_bits() or with zeros only.
    Bytes Take(bool trailing = true) {
        for (bool b = trailing; m_bits % 8 != 0 || b; b = false)
            Bit(b);
        return m_bytes;
    }

  private:
    void Bit(bool b) {
        if (m_bits % 8 == 0)
            m_bytes.push_back(0);
        m_bytes.back() |= uint8_t(b << (7 - m_bits++ % 8));
    }
    Bytes m_bytes;
    size_t m_bits = 0;
};

// The start code and NAL header, then the RBSP with emulation-prevention bytes inserted
// as an encoder must.
Bytes Nal(Bytes nal, const Bytes& rbsp) {
    int zeros = 0;
    for (uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            nal.push_back(3);
            zeros = 0;
        }
        nal.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return nal;
}

// A unit an encoder wrote, behind a four-byte start code.
Bytes Unit(const std::string& hex) {
    Bytes unit = {0, 0, 0, 1};
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        unit.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return unit;
}

template <size_t N>
Bytes Row(const uint8_t (&row)[N]) {
    return Bytes(row, row + N);
}

// The values of a hand-built H.264 SPS; the defaults make a plain 352 x 288 High
// profile SPS without VUI. Any crop offset brings the cropping fields, and any VUI
// value the VUI.
struct H264Fields {
    uint32_t profile = 100;
    uint64_t spsId = 0, chromaFormat = 1, lumaDepthMinus8 = 0, chromaDepthMinus8 = 0;
    bool scalingMatrix = false, frameMbsOnly = true;
    uint64_t cropLeft = 0, cropRight = 0, cropBottom = 0;
    uint64_t pocType = 0, pocCycle = 0, refFrames = 1, mbWidthMinus1 = 21, mapUnitsMinus1 = 17;
    int aspectIdc = -1;  // -1: no aspect ratio info
    uint32_t sarWidth = 0, sarHeight = 0;
    uint32_t numUnitsInTick = 0, timeScale = 0;  // both 0: no timing info
    int64_t cpbCountMinus1 = -1;                 // -1: no HRD parameters
    int64_t reorderFrames = -1;                  // -1: no bitstream restriction
};

Bytes H264Rbsp(const H264Fields& f) {
    BitWriter w;
    w.Bits(8, f.profile).Bits(16, 40).Ue(f.spsId);
    if (f.profile != 66) {
        // separate_colour_plane_flag only for 4:4:4.
        w.Ue(f.chromaFormat).Bits(f.chromaFormat == 3 ? 1 : 0, 0);
        w.Ue(f.lumaDepthMinus8).Ue(f.chromaDepthMinus8).Flag(false).Flag(f.scalingMatrix);
        // Lists 0, 4 and 6 ask for the default; list 3 is 16, 17 and then a zero that
        // repeats 17 to the end; list 9 (4:4:4 only) has deltas that wrap both ways;
        // the rest are absent and fall back.
        std::vector<int64_t> deltas[12] = {{-8}, {}, {}, {8, 1, -17}, {-8}, {}, {-8}};
        deltas[9].assign(64, 3);
        deltas[9][0] = -10;
        for (int i = 0; f.scalingMatrix && i < (f.chromaFormat != 3 ? 8 : 12); ++i) {
            w.Flag(!deltas[i].empty());
            for (int64_t delta : deltas[i])
                w.Se(delta);
        }
    }
    w.Ue(0).Ue(f.pocType);
    if (f.pocType == 0)
        w.Ue(2);
    if (f.pocType == 1) {
        w.Flag(false).Se(-1).Se(1).Ue(f.pocCycle);
        for (uint64_t i = 0; i < f.pocCycle; ++i)
            w.Se(int64_t(i % 5) - 2);
    }
    w.Ue(f.refFrames).Flag(false).Ue(f.mbWidthMinus1).Ue(f.mapUnitsMinus1).Flag(f.frameMbsOnly);
    w.Bits(f.frameMbsOnly ? 0 : 1, 0);  // mb_adaptive_frame_field_flag
    const bool crop = f.cropLeft + f.cropRight + f.cropBottom > 0;
    w.Flag(true).Flag(crop);
    if (crop)
        w.Ue(f.cropLeft).Ue(f.cropRight).Ue(0).Ue(f.cropBottom);
    const bool hrd = f.cpbCountMinus1 >= 0;
    const bool timing = f.numUnitsInTick + f.timeScale > 0;
    const bool vui = f.aspectIdc >= 0 || timing || hrd || f.reorderFrames >= 0;
    w.Flag(vui);
    if (!vui)
        return w.Take();
    w.Flag(f.aspectIdc >= 0).Bits(f.aspectIdc >= 0 ? 8 : 0, uint32_t(f.aspectIdc));
    w.Bits(f.aspectIdc == 255 ? 32 : 0, uint64_t{f.sarWidth} << 16 | f.sarHeight);
    // No overscan info; video format 5, full range, primaries, transfer and matrix 1;
    // no chroma location.
    w.Flag(false).Flag(true).Bits(3, 5).Flag(true).Flag(true).Bits(24, 0x010101).Flag(false);
    w.Flag(timing);
    if (timing)
        w.Bits(32, f.numUnitsInTick).Bits(32, f.timeScale).Flag(true);
    w.Flag(hrd);
    if (hrd) {
        w.Ue(uint64_t(f.cpbCountMinus1)).Bits(8, 0x23);
        for (int64_t i = 0; i <= f.cpbCountMinus1; ++i)
            w.Ue(1000).Ue(2000).Flag(false);
        w.Bits(20, 23 << 15 | 23 << 10 | 23 << 5 | 24);
    }
    // No VCL HRD; the low-delay flag behind HRD; no picture structure.
    w.Flag(false).Bits(hrd ? 2 : 1, 0).Flag(f.reorderFrames >= 0);
    if (f.reorderFrames >= 0)
        w.Flag(true).Ue(0).Ue(0).Ue(16).Ue(16).Ue(uint64_t(f.reorderFrames)).Ue(4);
    return w.Take();
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

Size PictureSize(const qx::H264Sps& sps) {
    int w = 0, h = 0;
    return qx::H264PictureSize(sps, &w, &h) ? Size(w, h) : Size(0, 0);
}

// The short parser against the full reader, on an SPS payload from
// seq_parameter_set_id on.
void ExpectShortParserAgrees(const Bytes& rest, const qx::H264Sps& full) {
    const int profile = int(full.profile_idc);
    SPS_DATA data;
    data.profile_idc = 77777;  // not one of the members it fills
    ASSERT_TRUE(RecH264Data::ParseSPS(rest.data(), rest.size(), profile, data));
    EXPECT_EQ(data.profile_idc, 77777u);
    EXPECT_EQ(data.seq_parameter_set_id, full.sps_id);
    EXPECT_EQ(data.chroma_format_idc, full.chroma_format_idc);
    EXPECT_EQ(data.bit_depth_luma_minus8 + 8, full.bit_depth_luma);
    EXPECT_EQ(data.pic_order_cnt_type, full.poc_type);
    EXPECT_EQ(data.log2_max_frame_num_minus4, full.log2_max_frame_num_minus4);
    EXPECT_EQ(data.log2_max_pic_order_cnt_lsb_minus4, full.log2_max_poc_lsb_minus4);
    EXPECT_EQ(data.max_num_ref_frames, full.ref_frame_count);
    EXPECT_EQ(data.pic_width_in_mbs_minus1 + 1, full.mb_width);
    EXPECT_EQ(data.pic_height_in_map_units_minus1 + 1, full.mb_height);
    SPS_DATA unbounded;
    ASSERT_TRUE(qx::ParseSPS(rest.data(), profile, unbounded));
    EXPECT_EQ(unbounded.pic_width_in_mbs_minus1, data.pic_width_in_mbs_minus1);
    EXPECT_EQ(unbounded.pic_height_in_map_units_minus1, data.pic_height_in_map_units_minus1);
    EXPECT_FALSE(RecH264Data::ParseSPS(rest.data(), 2, profile, unbounded));
    EXPECT_FALSE(qx::ParseSPS(nullptr, rest.size(), profile, unbounded));
    EXPECT_FALSE(qx::ParseSPS(nullptr, profile, unbounded));
}

// The values of a hand-built H.265 SPS, up to the conformance window.
struct HevcFields {
    uint64_t width = 1280, height = 720, chromaFormat = 1, spsId = 0;
    bool window = false;
    uint64_t left = 0, right = 0, top = 0, bottom = 0;
    unsigned subLayersMinus1 = 0;
    std::vector<std::pair<bool, bool>> subLayerPresent = {};  // profile, level
};

// With zero compatibility and constraint bits the payload needs emulation prevention.
BitWriter& WriteProfile(BitWriter& w, bool zeros) {
    return w.Bits(8, 1).Bits(36, zeros ? 0 : 0x60000000B).Bits(44, 0);
}

Bytes HevcSpsNal(const HevcFields& f) {
    BitWriter w;
    WriteProfile(w.Bits(4, 0).Bits(3, f.subLayersMinus1).Flag(true), true).Bits(8, 93);
    for (unsigned i = 0; i < f.subLayersMinus1; ++i)
        w.Flag(f.subLayerPresent[i].first).Flag(f.subLayerPresent[i].second);
    if (f.subLayersMinus1 > 0)
        w.Bits(2 * (8 - f.subLayersMinus1), 0);
    for (unsigned i = 0; i < f.subLayersMinus1; ++i) {
        if (f.subLayerPresent[i].first)
            WriteProfile(w, false);
        if (f.subLayerPresent[i].second)
            w.Bits(8, 90);
    }
    w.Ue(f.spsId).Ue(f.chromaFormat).Bits(f.chromaFormat == 3 ? 1 : 0, 0);
    w.Ue(f.width).Ue(f.height).Flag(f.window);
    if (f.window)
        w.Ue(f.left).Ue(f.right).Ue(f.top).Ue(f.bottom);
    // The rest of a real SPS does not matter to the size reader.
    return Nal({0, 0, 0, 1, 0x42, 0x01}, w.Ue(0).Ue(0).Take());
}

// The size read from an H.265 SPS of exactly its length; {-1, -1} when it is refused.
Size HevcSize(const Bytes& nal) {
    int w = -5, h = -5;
    if (H264UtilsA::parse_hevc_sps(nal.data(), int(nal.size()), &w, &h) == 0)
        return {w, h};
    EXPECT_EQ(Size(w, h), Size(-5, -5)) << "a refused unit leaves the size alone";
    return {-1, -1};
}

TEST(ExpGolomb, BothReadersAgreeWithTheWriter) {
    std::vector<uint64_t> values = {0x7FFFFFFF, 0xFFFFFFFE};
    for (uint32_t value = 0; value < 70000; value += value < 300 ? 1 : 97)
        values.push_back(value);
    for (uint64_t value : values) {
        for (unsigned offset : {0u, 1u, 7u}) {
            SCOPED_TRACE(testing::Message() << value << " at " << offset);
            const int64_t s = int64_t(value % 0x80000000) * (value % 2 != 0 ? 1 : -1);
            Bytes bytes = BitWriter().Bits(offset, 0x55).Ue(value).Se(s).Take(false);
            bytes.resize(std::max<size_t>(bytes.size(), 4), 0);
            qx::BitReader br(bytes.data(), bytes.size(), qx::Escaping::kRbsp);
            br.SkipBits(offset);
            EXPECT_EQ(br.ReadBits(0), 0u);
            EXPECT_EQ(br.ReadUe(), value);
            const uint64_t length = br.BitsRead() - offset;
            EXPECT_EQ(br.ReadSe(), s);
            EXPECT_TRUE(br.Ok());
            // The window parser gives neither value nor length for a code that does not
            // end within its 32 bits.
            uint32_t window = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 |
                              uint32_t(bytes[2]) << 8 | bytes[3];
            uint32_t pos = offset;
            const bool whole = offset + length <= 32;
            EXPECT_EQ(qx::UnSignedExpGolomb(window, pos), whole ? value : 0u);
            EXPECT_EQ(pos, whole ? length : 0u);
        }
    }
    // The window is left shifted by the position: 0x0A << 4 is 1010..., the code "1".
    // At a position at or past its end no code is left.
    uint32_t window = 0x0A000000, pos = 4, full = ~0u, past = 32;
    EXPECT_EQ(qx::UnSignedExpGolomb(window, pos), 0u);
    EXPECT_EQ(std::make_pair(pos, window), std::make_pair(1u, 0xA0000000u));
    EXPECT_EQ(qx::UnSignedExpGolomb(full, past) + past, 0u);
    // Once past the end, skipped bits count at once.
    qx::BitReader none(nullptr, 0);
    none.SkipBits(1000);
    EXPECT_EQ(Size(none.BitsRead(), none.OverreadBits()), Size(1000, 1000));
}

TEST(Rbsp, EmulationPreventionBytesAreRemovedFromPayloadsOnly) {
    // The zero run restarts behind a removed byte: 00 00 03 00 03 keeps its last 03.
    const Bytes cases[][2] = {{{0, 0, 3, 1}, {0, 0, 1}},
                              {{0, 0, 3, 3}, {0, 0, 3}},
                              {{0, 0, 3, 0, 0, 3}, {0, 0, 0, 0}},
                              {{0, 0, 3, 0, 3}, {0, 0, 0, 3}},
                              {{0, 3, 0, 3}, {0, 3, 0, 3}},
                              {{0x12, 0, 0, 3}, {0x12, 0, 0}},
                              {{}, {}}};
    for (const auto& c : cases)
        EXPECT_EQ(qx::ExtractRbsp(c[0].data(), c[0].size()), c[1]);
    EXPECT_TRUE(qx::ExtractRbsp(nullptr, 5).empty());
    Bytes all;
    for (int i = 0; i < 600; ++i)
        all.push_back(uint8_t(i % 7 == 0 ? 0 : i % 5));
    const Bytes escaped = Nal({0, 0, 0, 1}, all);
    EXPECT_EQ(qx::ExtractRbsp(escaped.data() + 4, escaped.size() - 4), all);
    const Bytes data = {0x00, 0x00, 0x03, 0x01, 0xAB};
    EXPECT_EQ(qx::BitReader(data.data(), data.size()).ReadBits(32), 0x000001ABu);
    EXPECT_EQ(qx::BitReader(data.data(), 5, qx::Escaping::kRbsp).ReadBits(32), 0x00000301u);
}

TEST(PictureLimits, AcceptsOnlySizesTheDecodersTake) {
    // Width, height and whether the decoders take them.
    const int64_t cases[][3] = {{16, 16, 1},     {1920, 1080, 1}, {8192, 4320, 1},
                                {4320, 8192, 1}, {8192, 4322, 0}, {8192, 8192, 0},
                                {8194, 16, 0},   {14, 1080, 0},   {0, 0, 0},
                                {1921, 1080, 0}, {1920, 1081, 0}, {-1920, -1080, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(qx::IsSanePictureSize(c[0], c[1]), c[2] != 0) << c[0] << "x" << c[1];
    // Products that wrap in 32 or 64 bits.
    EXPECT_FALSE(qx::IsSanePictureSize(int64_t{1} << 32, int64_t{1} << 32));
    EXPECT_FALSE(qx::IsSanePictureSize(INT64_MAX - 1, 2));
}

TEST(H264Sps, EncoderUnitsReadWholeAndEveryCutIsRefused) {
    // x264, 25 frames per second.
    const std::pair<const char*, Size> cases[] = {
        {"6764000DACB40B04B420000003002000000641E28554", {352, 288}},
        // 68 macroblock rows with a bottom crop of 4 chroma rows.
        {"67640028ACB403C0113F2C20000003002000000641E30654", {1920, 1080}},
        // The right crop counts in chroma columns.
        {"6764000DACB40B8FF2F0800000030080000019078A1550", {360, 240}},
        {"6764000BACB41A23C93420000003002000000641E28554", {202, 118}},
        // Baseline: no chroma block in the SPS.
        {"6742C00BDA0D11E5961000000300100000030320F142AA", {200, 120}},
        // 4:2:2 crops whole rows: 128 - 8.
        {"677A000BBCB41A23CB13080000030008000003019078A155", {200, 120}},
        {"67F4000D91968171FE2784000003000400000300C83C50AA80", {360, 240}},
        // Field coding: a map unit is a pair of macroblock rows, one per field.
        {"67640015ACE81612D08000000300800000190F8A1550", {352, 288}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        const Bytes unit = Unit(c.first);
        ReadResult r = ReadSps(unit);
        ASSERT_TRUE(r.ok && r.messages.empty()) << r.messages;
        // No aspect ratio info, and no lists: flat matrices.
        EXPECT_EQ(Size(r.sps.vui.sar_num, r.sps.vui.sar_den), Size(0, 1));
        EXPECT_EQ(Row(r.sps.scaling_matrix4[5]), Bytes(16, 16));
        EXPECT_EQ(Row(r.sps.scaling_matrix8[5]), Bytes(64, 16));
        // Two fields per tick.
        EXPECT_EQ(uint64_t{r.sps.vui.time_scale}, 50u * r.sps.vui.num_units_in_tick);
        ExpectShortParserAgrees(Bytes(unit.begin() + 8, unit.end()), r.sps);
        // Behind the four-byte start code and behind the three-byte one, whole, and cut:
        // whatever byte the VUI ends in, every cut of two or more bytes loses VUI bits,
        // and a value read past the end is reported as the overread, not as a bad value
        // (a time scale of zero, say). Each prefix is a buffer of its own so that a
        // sanitizer build sees any read beyond it.
        for (size_t skip : {0, 1}) {
            const Bytes sps(unit.begin() + long(skip), unit.end());
            int w = 0, h = 0;
            ASSERT_TRUE(qx::ReadH264PictureSize(sps.data(), sps.size(), &w, &h));
            EXPECT_EQ(Size(w, h), c.second) << skip;
            for (size_t len = 0; len + 1 < sps.size(); ++len) {
                const Bytes prefix(sps.begin(), sps.begin() + long(len));
                const ReadResult cut = ReadSps(prefix);
                EXPECT_EQ(cut.messages.find(len > 4 - skip ? "Overread " : "not an SPS NAL"), 0u)
                    << len << ": " << cut.messages;
            }
        }
    }
    // A PPS header, and a start code that is none.
    for (const Bytes& other : {Bytes{0, 0, 0, 1, 0x68, 100}, Bytes{0, 0, 0, 2, 0x67, 100}})
        EXPECT_EQ(ReadSps(other).messages, "not an SPS NAL unit\n");
    // Nothing behind the NAL header: every element is missing.
    EXPECT_EQ(ReadSps(Bytes{0, 0, 1, 0x67}).messages, "Overread SPS by 37 bits\n");
    // Baseline profile, then sps_id with 32 leading zeros, then whole elements.
    EXPECT_EQ(ReadSps(Bytes{0, 0, 0, 1, 0x67, 66, 0, 40, 0, 0, 0, 0, 0xFF, 0xFE}).messages,
              "invalid exp-Golomb code in SPS\n");
    EXPECT_FALSE(qx::ReadH264PictureSize(nullptr, 100, nullptr, nullptr));
}

TEST(H264Sps, ValuesOutsideTheLimitsAreRefusedAndInsideRead) {
    struct Case {
        void (*change)(H264Fields&);
        const char* message;
    };
    const Case cases[] = {
        {[](H264Fields& f) { f.spsId = 40; }, "sps_id (40) out of range\n"},
        {[](H264Fields& f) { f.spsId = 32; }, "sps_id (32) out of range\n"},
        {[](H264Fields& f) { f.chromaFormat = 4; }, "chroma_format_idc 4 is illegal\n"},
        {[](H264Fields& f) { f.lumaDepthMinus8 = 6; }, "illegal bit depth value (14, 8)\n"},
        {[](H264Fields& f) { f.lumaDepthMinus8 = 2, f.chromaDepthMinus8 = 5; },
         "illegal bit depth value (10, 13)\n"},
        {[](H264Fields& f) { f.lumaDepthMinus8 = 0xFFFFFFFE; },
         "illegal bit depth value (2147483647, 8)\n"},
        {[](H264Fields& f) { f.pocType = 1, f.pocCycle = 256; }, "poc_cycle_length overflow 256\n"},
        {[](H264Fields& f) { f.pocType = 3; }, "illegal POC type 3\n"},
        {[](H264Fields& f) { f.refFrames = 17; }, "too many reference frames\n"},
        {[](H264Fields& f) { f.mbWidthMinus1 = 0x7FFFFFE; }, "mb_width/height overflow\n"},
        {[](H264Fields& f) { f.mapUnitsMinus1 = 0xFFFFFFFE; }, "mb_width/height overflow\n"},
        {[](H264Fields& f) { f.aspectIdc = 17; }, "illegal aspect ratio\n"},
        {[](H264Fields& f) { f.numUnitsInTick = 1001; },
         "time_scale/num_units_in_tick invalid or unsupported (0/1001)\n"},
        {[](H264Fields& f) { f.timeScale = 60000; },
         "time_scale/num_units_in_tick invalid or unsupported (60000/0)\n"},
        {[](H264Fields& f) { f.cpbCountMinus1 = 32; }, "cpb_count 33 invalid\n"},
        {[](H264Fields& f) { f.reorderFrames = 17; }, "illegal num_reorder_frames 17\n"},
    };
    for (const Case& c : cases) {
        H264Fields f;
        c.change(f);
        const Bytes nal = Nal({0, 0, 0, 1, 0x67}, H264Rbsp(f));
        ReadResult r = ReadSps(nal);
        EXPECT_FALSE(r.ok) << c.message;
        EXPECT_EQ(r.messages, c.message);
        // The short parser checks nothing but the length of the POC cycle.
        SPS_DATA data;
        EXPECT_EQ(qx::ParseSPS(nal.data() + 8, nal.size() - 8, 100, data), f.pocCycle < 256);
    }
    // mb_width just below the overflow limit passes the SPS check and fails the
    // picture limits.
    H264Fields f;
    f.mbWidthMinus1 = 0x7FFFFFD;
    const Bytes wide = Nal({0, 0, 0, 1, 0x67}, H264Rbsp(f));
    ReadResult r = ReadSps(wide);
    ASSERT_TRUE(r.ok) << r.messages;
    EXPECT_FALSE(qx::ReadH264PictureSize(wide.data(), wide.size(), nullptr, nullptr));

    const Bytes intra4 = {6, 13, 13, 20, 20, 20, 28, 28, 28, 28, 32, 32, 32, 37, 37, 42};
    const Bytes inter4 = {10, 14, 14, 20, 20, 20, 24, 24, 24, 24, 27, 27, 27, 30, 30, 34};
    Bytes coded(16, 17), wrapped(64);
    coded[0] = 16;
    for (int j = 0; j < 64; ++j)
        wrapped[j] = uint8_t((254 + 3 * j) % 256);
    f = H264Fields();
    f.profile = 244;
    f.spsId = 31;
    f.lumaDepthMinus8 = f.chromaDepthMinus8 = 4;
    f.scalingMatrix = true;
    f.pocType = 1;
    f.pocCycle = 255;
    f.refFrames = 16;
    f.numUnitsInTick = 1;
    f.timeScale = 2;
    f.cpbCountMinus1 = 31;
    f.reorderFrames = 16;
    // 4:4:4 carries twelve lists, the others eight; an extended sample aspect ratio's
    // zero height reads as n:1.
    for (uint64_t chroma : {1, 3}) {
        f.chromaFormat = chroma;
        f.aspectIdc = chroma == 1 ? 16 : 255;
        f.sarWidth = 7;
        const Bytes rbsp = H264Rbsp(f);
        const Bytes nal = Nal({0, 0, 0, 1, 0x67}, rbsp);
        ASSERT_GT(nal.size(), rbsp.size() + 5) << "the case must need emulation prevention";
        r = ReadSps(nal);
        ASSERT_TRUE(r.ok) << r.messages;
        const qx::H264Sps& s = r.sps;
        // List 0 asks for the default, and 1 and 2 fall back to it; list 3 is coded; 4
        // asks for the inter default, and 5 falls back to it.
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(Row(s.scaling_matrix4[i]), i < 3 ? intra4 : i == 3 ? coded : inter4) << i;
        EXPECT_EQ(Size(s.scaling_matrix8[0][0], s.scaling_matrix8[0][63]), Size(6, 42));
        // List 7 is absent: the 8x8 inter default.
        EXPECT_EQ(Size(s.scaling_matrix8[1][0], s.scaling_matrix8[1][63]), Size(9, 35));
        // The chroma 8x8 lists copy the one two before them, unless coded.
        EXPECT_EQ(Row(s.scaling_matrix8[2]), Row(s.scaling_matrix8[0]));
        EXPECT_EQ(Row(s.scaling_matrix8[3]), chroma == 3 ? wrapped : Row(s.scaling_matrix8[1]));
        EXPECT_EQ(Row(s.scaling_matrix8[4]), Row(s.scaling_matrix8[2]));
        EXPECT_EQ(Row(s.scaling_matrix8[5]), Row(s.scaling_matrix8[3]));
        // The fields behind the lists and behind the HRD parameters are where they
        // belong, for the short parser too.
        EXPECT_EQ(Size(s.sps_id, s.bit_depth_chroma), Size(31, 12));
        EXPECT_EQ(Size(s.poc_cycle_length, s.offset_for_non_ref_pic), Size(255, -1));
        EXPECT_EQ(Size(s.ref_frame_count, s.vui.nal_hrd_parameters_present_flag), Size(16, 1));
        EXPECT_EQ(PictureSize(s), Size(352, 288));
        EXPECT_EQ(Size(s.vui.sar_num, s.vui.sar_den), chroma == 1 ? Size(2, 1) : Size(7, 1));
        EXPECT_EQ(Size(s.vui.full_range, s.vui.colour_primaries), Size(1, 1));
        EXPECT_EQ(Size(s.vui.num_units_in_tick, s.vui.time_scale), Size(1, 2));
        EXPECT_EQ(Size(s.vui.num_reorder_frames, s.vui.max_dec_frame_buffering), Size(16, 4));
        ExpectShortParserAgrees(Bytes(nal.begin() + 8, nal.end()), s);
    }
}

TEST(H264Sps, CropCountsInChromaSamplesAndFieldRows) {
    struct Case {
        uint64_t chroma;
        bool frameMbsOnly;
        uint64_t left, right, bottom;
        bool disabled;  // out of range: warned about and not applied
        Size size;      // 0 x 0: not a size the decoders take
    };
    // 22 x 18 macroblocks, or field coded 18 pairs of macroblock rows.
    const Case cases[] = {
        {1, false, 0, 0, 2, false, {352, 576 - 2 * 4}},
        {2, false, 0, 0, 2, false, {352, 576 - 2 * 2}},
        {3, true, 0, 0, 2, false, {352, 288 - 2}},
        {0, true, 0, 0, 2, false, {352, 288 - 2}},
        {0, false, 0, 0, 2, false, {352, 576 - 2 * 2}},
        // One row off 4:2:2 leaves an odd height.
        {2, true, 0, 0, 3, false, {0, 0}},
        {1, true, 2, 7, 7, false, {352 - 18, 288 - 14}},
        {1, true, 0, 0, 8, true, {352, 288}},
        {1, true, 2, 8, 0, true, {352, 288}},
        {2, true, 0, 7, 15, false, {0, 0}},
        {2, true, 0, 8, 15, true, {352, 288}},
        {2, true, 0, 7, 16, true, {352, 288}},
        {3, true, 0, 15, 15, false, {0, 0}},
        {3, true, 0, 16, 0, true, {352, 288}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        const H264Fields f{244,    0,       c.chroma, 0, 0, false, c.frameMbsOnly,
                           c.left, c.right, c.bottom};
        ReadResult r = ReadSps(Nal({0, 0, 0, 1, 0x67}, H264Rbsp(f)));
        ASSERT_TRUE(r.ok) << r.messages;
        std::string expected = c.left == 0 ? ""
                                           : "insane cropping not completely supported, this "
                                             "could look slightly wrong ... (left: 2, top: 0)\n";
        if (c.disabled) {
            expected += "brainfart cropping not supported, cropping disabled (right: " +
                        std::to_string(c.right) + ", bottom: " + std::to_string(c.bottom) + ")\n";
        }
        EXPECT_EQ(r.messages, expected);
        EXPECT_EQ(PictureSize(r.sps), c.size);
    }
}

TEST(HevcSps, SizesAndRefusals) {
    // x265; 1080 rows and 202 x 118 need a conformance window.
    const std::pair<Size, std::string> units[] = {
        {{352, 288},
         "42010101600000030090000003000003003CA00B08048596E92930B9A02000000300200000030321"},
        {{1920, 1080},
         "420101016000000300900000030000030078A003C0801107CB96E92930B9A02000000300200000030321"},
        {{202, 118},
         "42010101600000030090000003000003003CA01A2020724D96E92930B9A02000000300200000030321"},
    };
    for (const auto& c : units) {
        const Bytes sps = Unit(c.second);
        EXPECT_EQ(HevcSize(sps), c.first);
        // The size fields come early; every cut before them is refused.
        for (size_t len = 0; len < 18; ++len)
            EXPECT_EQ(HevcSize(Bytes(sps.begin(), sps.begin() + long(len))), Size(-1, -1)) << len;
    }
    EXPECT_EQ(HevcSize(Unit("40010C01FFFF016000000300900000030000030078BA0240")), Size(-1, -1))
        << "a VPS is not an SPS";

    const std::pair<bool, bool> p = {true, false}, l = {false, true}, pl = {true, true}, no = {};
    // width, height, chroma_format_idc, sps id, window offsets, sub-layers
    const std::pair<HevcFields, Size> cases[] = {
        {{}, {1280, 720}},
        {{1280, 720, 3}, {1280, 720}},
        // Every mix of sub-layer profile and level presence shifts the fields behind it.
        {{1280, 720, 1, 0, false, 0, 0, 0, 0, 3, {pl, l, p}}, {1280, 720}},
        {{1280, 720, 1, 0, false, 0, 0, 0, 0, 6, {pl, no, p, l, pl, no}}, {1280, 720}},
        // The window counts in pairs of samples.
        {{1920, 1088, 1, 0, true, 0, 0, 0, 4}, {1920, 1080}},
        {{1920, 1088, 1, 0, true, 1, 2, 3, 1}, {1920 - 6, 1088 - 8}},
        {{1280, 720, 1, 0, true, 0, 0xFFFFFFF0}, {-1, -1}},
        {{1280, 720, 1, 0, false, 0, 0, 0, 0, 7, {no, no, no, no, no, no, no}}, {-1, -1}},
        {{1280, 720, 0}, {-1, -1}},
        {{1280, 720, 4}, {-1, -1}},
        {{1280, 720, 1, 32}, {-1, -1}},
        {{0, 720}, {-1, -1}},
        {{8200, 720}, {-1, -1}},
        {{1280, 719}, {-1, -1}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HevcSize(HevcSpsNal(c.first)), c.second) << &c - cases;
    // The zero compatibility and constraint bits force escapes into the payload.
    const Bytes nal = HevcSpsNal(HevcFields());
    EXPECT_LT(qx::ExtractRbsp(nal.data() + 6, nal.size() - 6).size(), nal.size() - 6);
    EXPECT_EQ(H264UtilsA::parse_hevc_sps(nullptr, 10, nullptr, nullptr), -1);
    EXPECT_EQ(H264UtilsA::parse_hevc_sps(nal.data(), -1, nullptr, nullptr), -1);
    EXPECT_EQ(HevcSize(Bytes(nal.begin(), nal.begin() + 6)), Size(-1, -1));
}

}  // namespace
