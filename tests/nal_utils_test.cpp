#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <list>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "stream/H264UtilsA.h"
#include "stream/KeyPacket.h"
#include "stream/NalUnits.h"
#include "stream/PacketFormat.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A file name of its own, the file removed afterwards.
struct TempFile {
    std::string path = testing::TempDir() + "qx_nal_utils_" + std::to_string(::getpid());
    ~TempFile() { std::remove(path.c_str()); }
    std::string Read() const {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

// Frees the units of a list at the end of a test.
struct UnitList {
    std::list<NAL_INFO> units;
    ~UnitList() { H264UtilsA::FreeNalInfo(units); }
};

// SPS, a three-byte-start-code SEI inside it, PPS and IDR behind four-byte codes.
const Bytes kStream = {0x00, 0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x1E, 0x00, 0x00,
                       0x01, 0x06, 0x05, 0x00, 0x00, 0x00, 0x01, 0x68, 0xCE, 0x38,
                       0x80, 0x00, 0x00, 0x00, 0x01, 0x65, 0x88, 0x84};

TEST(NalType, TypesNamesAndPositionsNeverPastTheLength) {
    // Each an exactly sized heap buffer, so that a sanitizer build sees any read past it.
    // H.264 types above 20 read as 0; no type is read without its header byte. (The forms
    // without a length read the type for those with one.)
    const std::vector<std::tuple<Bytes, bool, int, int>> cases = {
        {{0, 0, 0, 1, 0x67}, true, 7, 51},    {{0, 0, 1, 0x65}, true, 5, 50},
        {{0, 0, 1, 0x14}, true, 20, 10},      {{0, 0, 1, 0x15}, true, 0, 10},
        {{0, 0, 1, 0x78}, true, 0, 60},       {{0, 0, 0, 1, 0x40, 0x01}, true, 0, 32},
        {{0, 0, 1, 0x42, 0x01}, true, 2, 33}, {{0, 0, 1, 0x7E, 0x01}, true, 0, 63},
        {{0, 0, 0, 1}, true, -1, -1},         {{0, 0, 1}, true, -1, -1},
        {{0, 0, 0}, false, -1, -1},           {{0, 0}, false, -1, -1},
        {{0, 1, 0, 0}, false, -1, -1},        {{0, 0, 0, 0}, false, -1, -1}};
    for (const auto& [bytes, start, h264, hevc] : cases) {
        SCOPED_TRACE(H264UtilsA::ToHexString(bytes.data(), int(bytes.size()), true));
        EXPECT_EQ(H264UtilsA::StartNalFlag(bytes.data(), int(bytes.size())), start);
        EXPECT_EQ(H264UtilsA::Get_NAL_Type(bytes.data(), int64_t(bytes.size())), h264);
        EXPECT_EQ(H264UtilsA::get_hevc_nal_type(bytes.data(), int64_t(bytes.size())), hevc);
    }
    const unsigned char sps[] = {0x00, 0x00, 0x00, 0x01, 0x67};
    for (int length : {4, 3, 2, 0, -3}) {
        EXPECT_EQ(H264UtilsA::Get_NAL_Type(sps, length), -1) << length;
        EXPECT_EQ(H264UtilsA::StartNalFlag(sps, length), length == 4) << length;
    }
    EXPECT_EQ(H264UtilsA::Get_NAL_Type(nullptr, 5), -1);
    EXPECT_EQ(H264UtilsA::get_hevc_nal_type(nullptr, 5), -1);
    EXPECT_FALSE(H264UtilsA::StartNalFlag(nullptr, 4));

    const char* names[] = {"H264NT_NAL",       "H264NT_SLICE",     "H264NT_SLICE_DPA",
                           "H264NT_SLICE_DPB", "H264NT_SLICE_DPC", "H264NT_SLICE_IDR",
                           "H264NT_SEI",       "H264NT_SPS",       "H264NT_PPS"};
    for (int type : {-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 20, 1000})
        EXPECT_EQ(H264UtilsA::Get_NAL_Type_Name(type),
                  type >= 0 && type <= 8 ? names[type] : "unknown Nal type");

    const unsigned char* s = kStream.data();
    EXPECT_EQ(H264UtilsA::Get_NAL_Pos(s, int(kStream.size())), (std::list<int>{0, 13, 21}));
    // A start code that ends at the last byte is found; one cut short is not.
    EXPECT_EQ(H264UtilsA::Get_NAL_Pos(s, 24), (std::list<int>{0, 13}));
    EXPECT_EQ(H264UtilsA::Get_NAL_Pos(s, 25), (std::list<int>{0, 13, 21}));
    for (int length : {3, -1})
        EXPECT_TRUE(H264UtilsA::Get_NAL_Pos(s, length).empty());
    EXPECT_TRUE(H264UtilsA::Get_NAL_Pos(nullptr, 100).empty());
    // Runs of zeros: each match moves the scan on by three.
    const Bytes zeros = {0, 0, 0, 0, 0, 1, 0, 0, 0, 1};
    EXPECT_EQ(H264UtilsA::Get_NAL_Pos(zeros.data(), int(zeros.size())), (std::list<int>{2, 6}));
}

// Each unit's bytes, type and name.
std::vector<std::tuple<Bytes, int, std::string>> Copies(const std::list<NAL_INFO>& units) {
    std::vector<std::tuple<Bytes, int, std::string>> copies;
    for (const NAL_INFO& unit : units)
        copies.emplace_back(Bytes(unit.data, unit.data + unit.len), unit.type, unit.name);
    return copies;
}

TEST(NalInfo, CopiesEveryUnitFollowedByAnother) {
    TempFile file;
    H264UtilsA::AppendToFile(file.path, kStream.data(), int(kStream.size()));
    UnitList memory, fromFile, bare;
    memory.units = H264UtilsA::Get_NAL_INFO(kStream.data(), long(kStream.size()));
    fromFile.units = H264UtilsA::Get_NAL_INFO_FromFile(file.path);
    // The IDR behind the last start code is not listed.
    const decltype(Copies({})) expected = {
        {Bytes(kStream.begin(), kStream.begin() + 13), 7, "H264NT_SPS"},
        {Bytes(kStream.begin() + 13, kStream.begin() + 21), 8, "H264NT_PPS"}};
    EXPECT_EQ(Copies(memory.units), expected);
    EXPECT_EQ(Copies(fromFile.units), expected);
    EXPECT_NE(memory.units.front().data, kStream.data());
    EXPECT_TRUE(H264UtilsA::Get_NAL_INFO_FromFile(file.path + ".none").empty());
    for (long length : {0L, -5L})
        EXPECT_TRUE(H264UtilsA::Get_NAL_INFO(kStream.data(), length).empty());
    EXPECT_TRUE(H264UtilsA::Get_NAL_INFO(nullptr, 10).empty());
    // Two start codes back to back: a unit with no header byte has no type.
    const Bytes twice = {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x65};
    bare.units = H264UtilsA::Get_NAL_INFO(twice.data(), long(twice.size()));
    EXPECT_EQ(Copies(bare.units), (decltype(expected){{{0, 0, 0, 1}, -1, "unknown Nal type"}}));
    H264UtilsA::FreeNalInfo(bare.units);
    EXPECT_TRUE(bare.units.empty());
}

TEST(AccessUnit, UnitsParameterSetsAndKeyPictures) {
    // VPS, SPS and an IDR slice. The session keeps the description of the packet it
    // decodes in a member, so a copy must still name its own parameter sets.
    const Bytes hevc = {0,    0,    0,    1, 0x40, 0x01, 0x0c, 0,    0,    0,   1,
                        0x42, 0x01, 0x01, 0, 0,    0,    1,    0x26, 0x01, 0xaf};
    qx::AccessUnit copy;
    copy = qx::DescribeAccessUnit(hevc.data(), int64_t(hevc.size()), false);
    ASSERT_EQ(copy.Vps(), &copy.units[0]);
    ASSERT_EQ(copy.Sps(), &copy.units[1]);
    // A four-byte start code's first zero belongs to the unit behind it.
    EXPECT_EQ(std::make_tuple(copy.Sps()->start, copy.Vps()->size, copy.Sps()->size),
              std::make_tuple(hevc.data() + 7, 7, 7));
    EXPECT_EQ(std::make_pair(copy.sliceType, copy.parameterSetFirst), std::make_pair(19, true));
    // A VPS alone ahead of the slice makes a key picture too.
    const Bytes vpsFirst = {0, 0, 0, 1, 0x40, 0x01, 0x0c, 0, 0, 0, 1, 0x26, 0x01, 0xaf};
    EXPECT_TRUE(qx::DescribeAccessUnit(vpsFirst.data(), 14, false).parameterSetFirst);

    // Slices alone: an H.264 IDR, and the H.265 IRAP types up to CRA (21), are keys.
    for (const auto& [unit, knd, key] : std::vector<std::tuple<Bytes, int, bool>>{
             {{0, 0, 1, 0x65, 0x88}, qx::kKindH264, true},
             {{0, 0, 1, 0x41, 0x88}, qx::kKindH264, false},
             {{0, 0, 1, 0x2A, 0x01, 0xaf}, qx::kKindH265, true},
             {{0, 0, 1, 0x2C, 0x01, 0xaf}, qx::kKindH265, false},
             {{0, 0, 1, 0x65, 0x88}, qx::kKindAudio1, false}})
        EXPECT_EQ(qx::IsKeyPayload(unit.data(), int64_t(unit.size()), knd), key) << int(unit[3]);

    // A packet carries a picture only when its payload lies within the bytes at hand.
    H264_PARAM header;
    header.knd = qx::kKindH264;
    header.nal_len = 6;
    Bytes packet(sizeof header + header.nal_len + qx::kTrailerSize, 0xFF);
    std::memcpy(packet.data(), &header, sizeof header);
    std::memcpy(packet.data() + sizeof header, "\0\0\0\1\x65\x88", 6);  // an IDR slice
    EXPECT_TRUE(qx::CarriesPicture(packet.data(), int64_t(packet.size())));
    EXPECT_FALSE(qx::CarriesPicture(packet.data(), int64_t(packet.size()) - 1));
}

TEST(Files, HexAppendMapAndExistence) {
    const unsigned char bytes[] = {0x00, 0x0A, 0xFF, 0x10};
    EXPECT_EQ(H264UtilsA::ToHexString(bytes, 3, true), "0 A FF ");
    EXPECT_EQ(H264UtilsA::ToHexString(bytes, 4, false), "0AFF10");
    for (int length : {0, -2})
        EXPECT_EQ(H264UtilsA::ToHexString(bytes, length, true), "");
    EXPECT_EQ(H264UtilsA::ToHexString(nullptr, 3, true), "");

    TempFile file;
    EXPECT_FALSE(H264UtilsA::IsExitsFile(file.path));
    H264UtilsA::AppendToFile(file.path, bytes, 2);
    EXPECT_TRUE(H264UtilsA::IsExitsFile(file.path));
    H264UtilsA::AppendToFile(file.path, bytes + 2, 1);
    H264UtilsA::AppendToFile(file.path, nullptr, 5);
    H264UtilsA::AppendToFile(file.path, bytes, -1);
    // The map lines append in key order.
    H264UtilsA::testWrtieMap(file.path, {{"b", "2"}, {"a", "1"}});
    H264UtilsA::testWrtieMap(file.path, {});
    EXPECT_EQ(file.Read(),
              std::string("\0\n\xFF", 3) + "<data a=\"1\" b=\"2\"></data>\r\n<data></data>\r\n");
    // A file that cannot be opened is left alone without a fault.
    H264UtilsA::AppendToFile("/nonexistent-dir/qx/file", bytes, 2);
    EXPECT_FALSE(H264UtilsA::IsExitsFile("/nonexistent-dir/qx/file"));
}

}  // namespace
