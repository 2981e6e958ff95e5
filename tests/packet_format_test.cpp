#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "api/RecH264Data.h"
#include "stream/PacketFormat.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes MakePacket(int nalLen, unsigned char fill = 0x11) {
    H264_PARAM p;
    p.nal_len = nalLen;
    p.idx = 42;
    p.pts = 1234567;
    Bytes nal(static_cast<size_t>(nalLen), fill);
    Bytes out(static_cast<size_t>(nalLen) + 76);
    EXPECT_EQ(RecH264Data::PakcetNal(nal.data(), nalLen, out.data(), p), nalLen + 76);
    return out;
}

TEST(PacketHeader, DefaultHeaderAndDump) {
    H264_PARAM p;
    EXPECT_EQ(std::memcmp(p.magic, "AAAAAAAA", 8), 0);
    EXPECT_EQ(p.ver, 1);
    const std::string dump = RecH264Data::GetH264Param(p);
    EXPECT_EQ(dump.rfind("H264Param,ver=1,knd=0,", 0), 0u);
    EXPECT_EQ(dump.substr(dump.size() - 2), "\r\n");
    EXPECT_NE(dump.find(",nln=0"), std::string::npos);
}

TEST(PakcetNal, BuildsHeaderPayloadTrailer) {
    const Bytes packet = MakePacket(1000);
    ASSERT_EQ(packet.size(), 1076u);
    EXPECT_EQ(packet[72], 0x11);
    for (int i = 1072; i < 1076; ++i)
        EXPECT_EQ(packet[i], 0xFF);
    EXPECT_EQ(MakePacket(0).size(), 76u);
    Bytes out(100);
    EXPECT_EQ(RecH264Data::PakcetNal(nullptr, 10, out.data(), H264_PARAM{}), 0);
    EXPECT_EQ(RecH264Data::PakcetNal(out.data(), -1, out.data(), H264_PARAM{}), 0);
}

TEST(IndexOf, MarkerScanQuirks) {
    const Bytes sixteen(16, 0x41);
    EXPECT_EQ(RecH264Data::IndexOf(sixteen.data(), 16, qx::kMarker, 8, -1), std::vector<int>{0});
    EXPECT_EQ(RecH264Data::IndexOf(sixteen.data(), 16, qx::kMarker, 8, 2),
              (std::vector<int>{0, 8}));
    Bytes nine(9, 0x41);
    nine.insert(nine.end(), {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(RecH264Data::IndexOf(nine.data(), static_cast<int>(nine.size()), qx::kMarker, 8, -1),
              std::vector<int>{0});
    EXPECT_TRUE(RecH264Data::IndexOf(sixteen.data(), 7, qx::kMarker, 8, -1).empty());
    EXPECT_EQ(RecH264Data::IndexOfNum(sixteen.data(), 16, qx::kMarker, 8, 2), 8);
    EXPECT_EQ(RecH264Data::IndexOfNum(sixteen.data(), 16, qx::kMarker, 8, 3), -1);
}

TEST(IndexOf, StartWithAndPacketSearch) {
    Bytes stream = MakePacket(100);
    const Bytes second = MakePacket(20);
    EXPECT_TRUE(
        RecH264Data::StartWith(stream.data(), static_cast<int>(stream.size()), qx::kMarker, 8));
    Bytes later(5, 0);
    later.insert(later.end(), stream.begin(), stream.end());
    EXPECT_FALSE(
        RecH264Data::StartWith(later.data(), static_cast<int>(later.size()), qx::kMarker, 8));

    EXPECT_EQ(RecH264Data::FindPESIndex(stream.data(), static_cast<int>(stream.size()), qx::kMarker,
                                        8, 0),
              (std::vector<int>{0, 176}));
    // Shorter than a header: no match and no read past the input.
    auto shortCopy = std::make_unique<unsigned char[]>(40);
    std::memcpy(shortCopy.get(), stream.data(), 40);
    EXPECT_TRUE(RecH264Data::FindPESIndex(shortCopy.get(), 40, qx::kMarker, 8, 0).empty());

    stream.insert(stream.end(), second.begin(), second.end());
    const auto positions =
        RecH264Data::IndexOf(stream.data(), static_cast<int>(stream.size()), qx::kMarker, 8, -1);
    ASSERT_EQ(positions, (std::vector<int>{0, 176}));
    auto packets = RecH264Data::ProcessPacket(stream.data(), static_cast<int>(stream.size()),
                                              {0, 176, static_cast<int>(stream.size())});
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets.front().len, 176);
    EXPECT_EQ(packets.back().len, 96);
    EXPECT_EQ(std::memcmp(packets.back().data, second.data(), 96), 0);
    for (auto& p : packets)
        delete[] p.data;
    EXPECT_TRUE(RecH264Data::ProcessPacket(stream.data(), 10, {0, 176}).empty());
}

TEST(FastMemcpy, ChecksBoundsAndHandlesOverlap) {
    Bytes buf = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_TRUE(RecH264Data::FastMemcpy(buf.data(), buf.data() + 2, 7));
    EXPECT_EQ(buf[0], 3);
    EXPECT_EQ(buf[6], 9);
    EXPECT_FALSE(RecH264Data::FastMemcpy(buf.data(), buf.data(), -1));
    Bytes dst(4, 0);
    EXPECT_FALSE(RecH264Data::FastMemcpy(dst.data(), 4, buf.data(), 5, 10001));
    EXPECT_EQ(dst, Bytes(4, 0));
    EXPECT_TRUE(RecH264Data::FastMemcpy(dst.data(), 4, buf.data(), 4, 10001));
    EXPECT_EQ(dst[0], 3);
}

}  // namespace

#include "streamkit/StreamKit.h"

namespace {

// Real streams of the writer, cut apart with the library's own helpers.
TEST(PacketHelpers, WriterStreamsRoundTrip) {
    for (auto codec : {qx::kit::Codec::H264, qx::kit::Codec::H265}) {
        for (auto audio : {qx::kit::kAudioNone, qx::kit::kAudioALaw}) {
            qx::kit::StreamOptions options;
            options.codec = codec;
            options.width = 160;
            options.height = 96;
            options.frames = 5;
            options.audioKind = audio;
            const auto packets = qx::kit::StreamWriter::MakePackets(options);
            const Bytes stream = qx::kit::Serialize(packets);
            const int size = static_cast<int>(stream.size());
            const auto markers = RecH264Data::IndexOf(stream.data(), size, qx::kMarker, 8, -1);
            ASSERT_EQ(markers.size(), packets.size());
            for (size_t i = 0; i < packets.size(); ++i) {
                const auto span = RecH264Data::FindPESIndex(stream.data() + markers[i],
                                                            size - markers[i], qx::kMarker, 8, 0);
                ASSERT_EQ(span.size(), 2u);
                const int end =
                    i + 1 < markers.size() ? markers[i + 1] - markers[i] : size - markers[i];
                EXPECT_EQ(span[1], end);
                const H264_PARAM header = qx::ReadHeader(stream.data() + markers[i]);
                EXPECT_EQ(header.knd, packets[i].header.knd);
                EXPECT_EQ(header.pts, packets[i].header.pts);
            }
        }
    }
}

}  // namespace
