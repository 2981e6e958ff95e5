#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "stream/H264UtilsA.h"
#include "stream/NalUnits.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A file of its own per test, removed afterwards.
class TempFile {
  public:
    TempFile() {
        char name[] = "/tmp/qx_nal_utils_XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd >= 0)
            ::close(fd);
        m_path = name;
        std::remove(m_path.c_str());
    }
    ~TempFile() { std::remove(m_path.c_str()); }
    const std::string& path() const { return m_path; }
    std::string Read() const {
        std::ifstream in(m_path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

  private:
    std::string m_path;
};

// Frees the units of a list at the end of a test.
struct UnitList {
    std::list<NAL_INFO> units;
    ~UnitList() { H264UtilsA::FreeNalInfo(units); }
};

TEST(StartNalFlag, RecognisesBothStartCodes) {
    const unsigned char three[] = {0x00, 0x00, 0x01, 0x65};
    const unsigned char four[] = {0x00, 0x00, 0x00, 0x01, 0x67};
    const unsigned char none[] = {0x00, 0x01, 0x00, 0x00};
    const unsigned char zeros[] = {0x00, 0x00, 0x00, 0x00};
    EXPECT_TRUE(H264UtilsA::StartNalFlag(three, 4));
    EXPECT_TRUE(H264UtilsA::StartNalFlag(four, 5));
    EXPECT_FALSE(H264UtilsA::StartNalFlag(none, 4));
    EXPECT_FALSE(H264UtilsA::StartNalFlag(zeros, 4));
}

TEST(StartNalFlag, NeverLooksPastTheLength) {
    // A heap buffer of exactly the given size: a sanitizer build catches any read past it.
    const Bytes three = {0x00, 0x00, 0x01};
    EXPECT_TRUE(H264UtilsA::StartNalFlag(three.data(), int(three.size())));
    const Bytes cut = {0x00, 0x00, 0x00};
    EXPECT_FALSE(H264UtilsA::StartNalFlag(cut.data(), int(cut.size())));
    const unsigned char four[] = {0x00, 0x00, 0x00, 0x01};
    EXPECT_FALSE(H264UtilsA::StartNalFlag(four, 3));
    EXPECT_FALSE(H264UtilsA::StartNalFlag(four, 2));
    EXPECT_FALSE(H264UtilsA::StartNalFlag(four, -1));
    EXPECT_FALSE(H264UtilsA::StartNalFlag(nullptr, 4));
}

TEST(NalType, H264TypeBehindEitherStartCode) {
    const unsigned char sps[] = {0x00, 0x00, 0x00, 0x01, 0x67};
    const unsigned char idr[] = {0x00, 0x00, 0x01, 0x65};
    const unsigned char stap[] = {0x00, 0x00, 0x01, 0x78};  // 0x78 & 0x1F = 24
    const unsigned char twenty[] = {0x00, 0x00, 0x01, 0x14};
    EXPECT_EQ(H264UtilsA::Get_NAL_Type(sps), 7);
    EXPECT_EQ(H264UtilsA::Get_NAL_Type(idr), 5);
    EXPECT_EQ(H264UtilsA::Get_NAL_Type(stap), 0);
    EXPECT_EQ(H264UtilsA::Get_NAL_Type(twenty), 20);
    EXPECT_EQ(H264UtilsA::Get_NAL_Type(sps, 5), 7);
    EXPECT_EQ(H264UtilsA::Get_NAL_Type(idr, 4), 5);
    EXPECT_EQ(H264UtilsA::Get_NAL_Type(stap, 4), 0);
}

TEST(NalType, HevcTypeBehindEitherStartCode) {
    const unsigned char vps[] = {0x00, 0x00, 0x00, 0x01, 0x40, 0x01};
    const unsigned char sps[] = {0x00, 0x00, 0x01, 0x42, 0x01};
    const unsigned char high[] = {0x00, 0x00, 0x01, 0x7E, 0x01};
    EXPECT_EQ(H264UtilsA::get_hevc_nal_type(vps), 32);
    EXPECT_EQ(H264UtilsA::get_hevc_nal_type(sps), 33);
    EXPECT_EQ(H264UtilsA::get_hevc_nal_type(high), 63);
    EXPECT_EQ(H264UtilsA::get_hevc_nal_type(vps, 6), 32);
    EXPECT_EQ(H264UtilsA::get_hevc_nal_type(sps, 5), 33);
}

TEST(NalType, BoundedFormsRefuseUnitsWithoutHeaderByte) {
    // Exactly sized heap buffers, so that a sanitizer build sees any read beyond them.
    const Bytes fourOnly = {0x00, 0x00, 0x00, 0x01};
    const Bytes threeOnly = {0x00, 0x00, 0x01};
    const Bytes two = {0x00, 0x00};
    for (const Bytes* b : {&fourOnly, &threeOnly, &two}) {
        EXPECT_EQ(H264UtilsA::Get_NAL_Type(b->data(), int64_t(b->size())), -1);
        EXPECT_EQ(H264UtilsA::get_hevc_nal_type(b->data(), int64_t(b->size())), -1);
    }
    const unsigned char sps[] = {0x00, 0x00, 0x00, 0x01, 0x67};
    EXPECT_EQ(H264UtilsA::Get_NAL_Type(sps, 4), -1);
    EXPECT_EQ(H264UtilsA::Get_NAL_Type(sps, 0), -1);
    EXPECT_EQ(H264UtilsA::Get_NAL_Type(sps, -3), -1);
    EXPECT_EQ(H264UtilsA::Get_NAL_Type(nullptr, 5), -1);
    EXPECT_EQ(H264UtilsA::get_hevc_nal_type(nullptr, 5), -1);
}

TEST(NalType, Names) {
    const std::map<int, std::string> names = {
        {0, "H264NT_NAL"},       {1, "H264NT_SLICE"},     {2, "H264NT_SLICE_DPA"},
        {3, "H264NT_SLICE_DPB"}, {4, "H264NT_SLICE_DPC"}, {5, "H264NT_SLICE_IDR"},
        {6, "H264NT_SEI"},       {7, "H264NT_SPS"},       {8, "H264NT_PPS"},
    };
    for (const auto& entry : names)
        EXPECT_EQ(H264UtilsA::Get_NAL_Type_Name(entry.first), entry.second);
    for (int type : {9, 20, -1, 1000}) {
        EXPECT_EQ(H264UtilsA::Get_NAL_Type_Name(type), "unknown Nal type") << type;
    }
}

// SPS, a three-byte-start-code SEI inside it, PPS and IDR behind four-byte codes.
Bytes SampleStream() {
    return {0x00, 0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x1E, 0x00, 0x00, 0x01, 0x06, 0x05, 0x00,
            0x00, 0x00, 0x01, 0x68, 0xCE, 0x38, 0x80, 0x00, 0x00, 0x00, 0x01, 0x65, 0x88, 0x84};
}

TEST(NalPositions, ReportsOnlyFourByteStartCodes) {
    const Bytes s = SampleStream();
    EXPECT_EQ(H264UtilsA::Get_NAL_Pos(s.data(), int(s.size())), (std::list<int>{0, 13, 21}));
    // A start code that ends at the last byte is found; one cut short is not.
    EXPECT_EQ(H264UtilsA::Get_NAL_Pos(s.data(), 24), (std::list<int>{0, 13}));
    EXPECT_EQ(H264UtilsA::Get_NAL_Pos(s.data(), 25), (std::list<int>{0, 13, 21}));
    EXPECT_TRUE(H264UtilsA::Get_NAL_Pos(s.data(), 3).empty());
    EXPECT_TRUE(H264UtilsA::Get_NAL_Pos(s.data(), -1).empty());
    EXPECT_TRUE(H264UtilsA::Get_NAL_Pos(nullptr, 100).empty());
    // Runs of zeros: each match moves the scan on by three.
    const Bytes zeros = {0, 0, 0, 0, 0, 1, 0, 0, 0, 1};
    EXPECT_EQ(H264UtilsA::Get_NAL_Pos(zeros.data(), int(zeros.size())), (std::list<int>{2, 6}));
}

TEST(NalInfo, CopiesEveryUnitFollowedByAnother) {
    const Bytes s = SampleStream();
    UnitList list;
    list.units = H264UtilsA::Get_NAL_INFO(s.data(), long(s.size()));
    ASSERT_EQ(list.units.size(), 2u);  // the IDR after the last start code is not listed
    const NAL_INFO& sps = list.units.front();
    EXPECT_EQ(sps.len, 13);
    EXPECT_EQ(sps.type, 7);
    EXPECT_EQ(sps.name, "H264NT_SPS");
    ASSERT_NE(sps.data, s.data());
    EXPECT_EQ(Bytes(sps.data, sps.data + sps.len), Bytes(s.begin(), s.begin() + 13));
    const NAL_INFO& pps = list.units.back();
    EXPECT_EQ(pps.len, 8);
    EXPECT_EQ(pps.type, 8);
    EXPECT_EQ(pps.name, "H264NT_PPS");
    EXPECT_EQ(Bytes(pps.data, pps.data + pps.len), Bytes(s.begin() + 13, s.begin() + 21));
}

TEST(NalInfo, DegenerateInputs) {
    UnitList list;
    list.units = H264UtilsA::Get_NAL_INFO(nullptr, 10);
    EXPECT_TRUE(list.units.empty());
    const Bytes s = SampleStream();
    list.units = H264UtilsA::Get_NAL_INFO(s.data(), 0);
    EXPECT_TRUE(list.units.empty());
    list.units = H264UtilsA::Get_NAL_INFO(s.data(), -5);
    EXPECT_TRUE(list.units.empty());

    // Two start codes back to back: a unit with no header byte has no type.
    const Bytes bare = {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x65};
    list.units = H264UtilsA::Get_NAL_INFO(bare.data(), long(bare.size()));
    ASSERT_EQ(list.units.size(), 1u);
    EXPECT_EQ(list.units.front().len, 4);
    EXPECT_EQ(list.units.front().type, -1);
    EXPECT_EQ(list.units.front().name, "unknown Nal type");
    H264UtilsA::FreeNalInfo(list.units);
    EXPECT_TRUE(list.units.empty());
}

TEST(NalInfo, FromFileMatchesFromMemory) {
    TempFile file;
    const Bytes s = SampleStream();
    H264UtilsA::AppendToFile(file.path(), s.data(), int(s.size()));
    UnitList fromFile;
    fromFile.units = H264UtilsA::Get_NAL_INFO_FromFile(file.path());
    UnitList fromMemory;
    fromMemory.units = H264UtilsA::Get_NAL_INFO(s.data(), long(s.size()));
    ASSERT_EQ(fromFile.units.size(), fromMemory.units.size());
    for (auto a = fromFile.units.begin(), b = fromMemory.units.begin(); a != fromFile.units.end();
         ++a, ++b) {
        EXPECT_EQ(a->len, b->len);
        EXPECT_EQ(a->type, b->type);
        EXPECT_EQ(Bytes(a->data, a->data + a->len), Bytes(b->data, b->data + b->len));
    }
    UnitList missing;
    missing.units = H264UtilsA::Get_NAL_INFO_FromFile(file.path() + ".none");
    EXPECT_TRUE(missing.units.empty());
}

// The session keeps the description of the packet it decodes in a member, so a copy
// must still name its own parameter sets.
TEST(AccessUnit, ACopyKeepsItsParameterSets) {
    const Bytes hevc = {0,    0,    0,    1, 0x40, 0x01, 0x0c, 0,    0,    0,   1,
                        0x42, 0x01, 0x01, 0, 0,    0,    1,    0x26, 0x01, 0xaf};
    qx::AccessUnit copy;
    copy = qx::DescribeAccessUnit(hevc.data(), static_cast<int64_t>(hevc.size()), false);
    ASSERT_NE(copy.Vps(), nullptr);
    ASSERT_NE(copy.Sps(), nullptr);
    EXPECT_EQ(copy.Vps(), &copy.units[0]);
    EXPECT_EQ(copy.Sps(), &copy.units[1]);
    EXPECT_EQ(copy.Sps()->start, hevc.data() + 7);
    EXPECT_EQ(copy.sliceType, 19);
    EXPECT_TRUE(copy.parameterSetFirst);
}

TEST(HexString, UpperCaseWithoutLeadingZeros) {
    const unsigned char bytes[] = {0x00, 0x0A, 0xFF, 0x10};
    EXPECT_EQ(H264UtilsA::ToHexString(bytes, 3, true), "0 A FF ");
    EXPECT_EQ(H264UtilsA::ToHexString(bytes, 4, false), "0AFF10");
    EXPECT_EQ(H264UtilsA::ToHexString(bytes, 0, true), "");
    EXPECT_EQ(H264UtilsA::ToHexString(bytes, -2, true), "");
    EXPECT_EQ(H264UtilsA::ToHexString(nullptr, 3, true), "");
}

TEST(Files, WriteMapAppendsOneLineInKeyOrder) {
    TempFile file;
    H264UtilsA::testWrtieMap(file.path(), {{"b", "2"}, {"a", "1"}});
    EXPECT_EQ(file.Read(), "<data a=\"1\" b=\"2\"></data>\r\n");
    H264UtilsA::testWrtieMap(file.path(), {});
    EXPECT_EQ(file.Read(), "<data a=\"1\" b=\"2\"></data>\r\n<data></data>\r\n");
}

TEST(Files, AppendAndExistence) {
    TempFile file;
    EXPECT_FALSE(H264UtilsA::IsExitsFile(file.path()));
    const unsigned char first[] = {'a', 'b'};
    const unsigned char second[] = {0x00, 'c'};
    H264UtilsA::AppendToFile(file.path(), first, 2);
    EXPECT_TRUE(H264UtilsA::IsExitsFile(file.path()));
    H264UtilsA::AppendToFile(file.path(), second, 2);
    H264UtilsA::AppendToFile(file.path(), nullptr, 5);
    H264UtilsA::AppendToFile(file.path(), first, -1);
    EXPECT_EQ(file.Read(), std::string("ab\0c", 4));

    // A file that cannot be opened is left alone without a fault.
    H264UtilsA::AppendToFile("/nonexistent-dir/qx/file", first, 2);
    EXPECT_FALSE(H264UtilsA::IsExitsFile("/nonexistent-dir/qx/file"));
}

}  // namespace
