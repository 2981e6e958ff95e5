// Recorded files: the file functions, the information scan, and open mode 2 with the
// library's own reader.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "api/RecH264Data.h"
#include "qxplaylib.h"
#include "session/DDrawSession.h"
#include "streamkit/StreamKit.h"
#include "support/PlaybackHarness.h"

namespace {

// While set, every read of the process comes back short, as reads cut by a signal or
// from a network file system do.
std::atomic<bool> g_shortReads{false};
std::atomic<int> g_shortened{0};

struct ShortReads {
    ShortReads() { g_shortReads = true; }
    ~ShortReads() { g_shortReads = false; }
};

}  // namespace

extern "C" size_t fread(void* buffer, size_t size, size_t count, FILE* file) {
    using Fread = size_t (*)(void*, size_t, size_t, FILE*);
    static const auto real = reinterpret_cast<Fread>(dlsym(RTLD_NEXT, "fread"));
    if (!g_shortReads || size != 1 || count < 2)
        return real(buffer, size, count, file);
    static std::atomic<unsigned> turn{0};
    ++g_shortened;
    return real(buffer, 1, 1 + (turn++ * 7919u) % std::min<size_t>(count - 1, 4093), file);
}

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

std::string TempFile(const std::string& name) {
    // CTest runs the cases of one binary as parallel processes: each needs its own files.
    return testing::TempDir() + "/qxfile-" + std::to_string(getpid()) + "-" + name;
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

qx::kit::Packet MakePacket(int knd, int64_t sec, size_t payloadSize, uint8_t fill, int fbs = 25) {
    qx::kit::Packet p;
    p.header.knd = knd;
    p.header.sec = sec;
    p.header.fbs = fbs;
    p.header.nal_len = static_cast<int32_t>(payloadSize);
    p.payload.assign(payloadSize, fill);
    return p;
}

TEST(PesFile, WritesAndReadsBackEveryPacketAMarkerFollows) {
    const std::string path = TempFile("pes");
    unsigned char payload[3][100];
    for (int i = 0; i < 3; ++i) {
        std::memset(payload[i], 0x10 + i, sizeof payload[i]);
        H264_VAO vao;
        vao.param.idx = i;
        vao.param.nal_len = 100;
        vao.data = payload[i];
        RecH264Data::WritePESFile(path, vao, i == 0);
    }
    std::list<H264_VAO> packets = RecH264Data::ReadPESFile(path);
    // The last packet has no marker behind it.
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets.front().param.idx, 0);
    EXPECT_EQ(packets.back().data[99], 0x11);
    for (H264_VAO& p : packets)
        delete[] p.data;

    H264_VAO vao;
    vao.param.nal_len = 100;
    vao.data = payload[0];
    RecH264Data::WritePESFile(path, vao, true);
    RecH264Data::WritePESFile(path, vao, true);
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    EXPECT_EQ(in.tellg(), 176) << "overwrite leaves one packet";
    std::remove(path.c_str());
}

TEST(PesFile, SkipsPacketsWhoseLengthDisagreesOrIsNegative) {
    qx::kit::Packet good = MakePacket(0, 0, 50, 1);
    qx::kit::Packet wrong = MakePacket(0, 0, 50, 2);
    wrong.header.nal_len = 49;
    qx::kit::Packet negative = MakePacket(0, 0, 50, 3);
    negative.header.nal_len = -26;
    Bytes bytes;
    for (const auto* p : {&good, &wrong, &negative, &good, &good}) {
        const Bytes one = qx::kit::Serialize({*p});
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    // A damaged packet's payload is serialised as it is; its header lies about it.
    const std::string path = TempFile("lengths");
    WriteBytes(path, bytes);
    std::list<H264_VAO> packets = RecH264Data::ReadPESFile(path);
    EXPECT_EQ(packets.size(), 2u);
    for (H264_VAO& p : packets) {
        EXPECT_EQ(p.data[0], 1);
        delete[] p.data;
    }
    std::remove(path.c_str());
}

TEST(PesFile, ReadsOnPastMegabytesThatHoldNoPacket) {
    Bytes bytes(9 * 1000 * 1000, 0x33);
    for (int i = 0; i < 3; ++i) {
        const Bytes one = qx::kit::Serialize({MakePacket(0, 0, 64, static_cast<uint8_t>(i))});
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    const std::string path = TempFile("junk");
    WriteBytes(path, bytes);
    for (bool cutShort : {false, true}) {
        std::optional<ShortReads> cut;
        if (cutShort)
            cut.emplace();
        std::list<H264_VAO> packets = RecH264Data::ReadPESFile(path);
        EXPECT_EQ(packets.size(), 2u) << (cutShort ? "short reads" : "whole reads");
        for (H264_VAO& p : packets)
            delete[] p.data;
    }
    std::remove(path.c_str());
}

// Each case also with every read cut short.
class FileInfo : public testing::TestWithParam<bool> {
  protected:
    bool Scan(const Bytes& bytes) { return Scan(bytes, session); }
    bool Scan(const Bytes& bytes, DDrawSession& into) {
        WriteBytes(m_path, bytes);
        into.File().SetFileName(m_path);
        if (!GetParam())
            return into.File().LoadFileInfo();
        ShortReads cut;
        const int before = g_shortened;
        const bool scanned = into.File().LoadFileInfo();
        EXPECT_TRUE(!scanned || g_shortened > before) << "no read was cut short";
        return scanned;
    }
    void TearDown() override { std::remove(m_path.c_str()); }
    std::string m_path = TempFile("info");
    DDrawSession session;
};

TEST_P(FileInfo, NeedsAKilobyteAndTwoDifferentSeconds) {
    Bytes small = qx::kit::Serialize({MakePacket(0, 100, 400, 1), MakePacket(0, 101, 471, 1)});
    ASSERT_EQ(small.size(), 1023u);
    EXPECT_FALSE(Scan(small));
    DDrawSession other;
    Bytes enough = qx::kit::Serialize({MakePacket(0, 100, 400, 1), MakePacket(0, 101, 472, 1)});
    ASSERT_EQ(enough.size(), 1024u);
    ASSERT_TRUE(Scan(enough, other));
    EXPECT_EQ(other.File().FileSeconds(), 1);
    EXPECT_EQ(other.File().FileFrameCount(), 25);
    DDrawSession oneSecond;
    EXPECT_FALSE(Scan(qx::kit::Serialize({MakePacket(0, 100, 400, 1), MakePacket(0, 100, 472, 1)}),
                      oneSecond));
}

TEST_P(FileInfo, CountsH265FramesAndTakesTheLastWholeHeader) {
    Bytes bytes = qx::kit::Serialize({MakePacket(1, 50, 400, 1), MakePacket(10, 50, 400, 1, 30),
                                      MakePacket(10, 60, 400, 1, 30)});
    // A marker at the very end without a header behind it.
    bytes.insert(bytes.end(), 8, 0x41);
    bytes.insert(bytes.end(), {1, 2, 3});
    ASSERT_TRUE(Scan(bytes));
    EXPECT_EQ(session.File().FileSeconds(), 10);
    EXPECT_EQ(session.File().FileFrameCount(), 300);
}

TEST_P(FileInfo, ALargeFileTakesItsEndFromTheLastMegabytes) {
    std::vector<qx::kit::Packet> packets;
    for (int i = 0; i < 40; ++i)
        packets.push_back(MakePacket(0, 1000 + i, 100000, 7));
    ASSERT_TRUE(Scan(qx::kit::Serialize(packets)));
    EXPECT_EQ(session.File().FileSeconds(), 39);
    EXPECT_EQ(session.File().FileSize(), 40 * 100076);
}

INSTANTIATE_TEST_SUITE_P(Reads, FileInfo, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Short" : "Whole"; });

// A recorded stream written to disk and played by the library's own reader.
class FilePlayback : public testing::Test {
  protected:
    void Write(const qx::kit::StreamOptions& options) {
        m_packets = qx::kit::StreamWriter::MakePackets(options);
        m_reference = qx::kit::ReferenceDecoder::DecodeElementaryStream(
            options.codec, qx::kit::ElementaryStream(m_packets));
        // As a recorder leaves it: its last packet (sound) has no marker behind it.
        WriteBytes(m_path, qx::kit::Serialize(m_packets));
    }
    int64_t Counter(const RenderRecord::Shown& shown) {
        return qx::kit::ReadCounter(shown.y.data(), shown.width, shown.width, shown.height);
    }
    // The frame number of the first picture from index `from` on that does not follow
    // the one before it. Only a seek breaks the run: a file played at its own speed
    // shows every picture, and the jump may be shorter than a second (a first seek
    // that landed at frame 175, then one to frame 200).
    int64_t FirstAfterJump(const std::vector<RenderRecord::Shown>& shown, size_t from) {
        for (size_t i = from; i < shown.size(); ++i) {
            if (i > 0 && Counter(shown[i]) != Counter(shown[i - 1]) + 1)
                return Counter(shown[i]);
        }
        return -1;
    }
    int64_t WaitForJump(PlaybackPort& port, size_t from) {
        const auto give_up = std::chrono::steady_clock::now() + 20s;
        for (;;) {
            const int64_t jump = FirstAfterJump(port.shown().Pictures(), from);
            if (jump >= 0 || std::chrono::steady_clock::now() > give_up)
                return jump;
            std::this_thread::sleep_for(20ms);
        }
    }
    void TearDown() override { std::remove(m_path.c_str()); }

    std::string m_path = TempFile("play.qx");
    std::vector<qx::kit::Packet> m_packets;
    std::vector<qx::kit::Picture> m_reference;
};

TEST_F(FilePlayback, AFileOfMegabytesPlaysEveryPictureOnce) {
    qx::kit::StreamOptions options;
    options.width = 640;
    options.height = 480;
    options.frames = 180;
    options.gop = 30;
    options.crf = 0;
    options.audioKind = qx::kit::kAudioALaw;
    Write(options);
    std::ifstream in(m_path, std::ios::binary | std::ios::ate);
    ASSERT_GT(in.tellg(), 5 * 1024 * 1024) << "the file must outgrow the source buffer";

    PlaybackPort port(2);
    std::atomic<int> ends{0};
    QxPlay_SetDecMsgCallBack(
        port.port(), [](int32_t, int32_t, void* user) { ++*static_cast<std::atomic<int>*>(user); },
        &ends);
    ASSERT_EQ(QxPlay_OpenFile(port.port(), m_path.c_str()), 1);
    EXPECT_EQ(QxPlay_GetFileTime(port.port()), 7u);
    ASSERT_TRUE(port.Play());
    ASSERT_EQ(QxPlay_FastEx(port.port(), 16), 1);
    const size_t expected = m_reference.size();
    ASSERT_TRUE(port.shown().WaitFor(expected, 60s)) << port.shown().Count() << " of " << expected;
    const auto give_up = std::chrono::steady_clock::now() + 10s;
    while (ends == 0 && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(ends, 1) << "the end of data is told exactly once";
    const std::vector<RenderRecord::Shown> shown = port.shown().Pictures();
    ASSERT_EQ(shown.size(), expected);
    for (size_t i = 0; i < shown.size(); i += 17) {
        SCOPED_TRACE("picture " + std::to_string(i));
        EXPECT_EQ(Counter(shown[i]), static_cast<int64_t>(i));
        EXPECT_TRUE(shown[i].y == m_reference[i].y && shown[i].u == m_reference[i].u);
    }
    EXPECT_EQ(QxPlay_Stop(port.port()), 1);
}

TEST_F(FilePlayback, ReadsCutShortPlayEveryPictureOnce) {
    qx::kit::StreamOptions options;
    options.seconds = 3;
    options.audioKind = qx::kit::kAudioMuLaw;
    Write(options);
    uint32_t seconds = 0;
    {
        PlaybackPort whole(2);
        ASSERT_EQ(QxPlay_OpenFile(whole.port(), m_path.c_str()), 1);
        seconds = QxPlay_GetFileTime(whole.port());
    }
    ShortReads cut;
    PlaybackPort port(2);
    ASSERT_EQ(QxPlay_OpenFile(port.port(), m_path.c_str()), 1);
    EXPECT_GT(seconds, 0u);
    EXPECT_EQ(QxPlay_GetFileTime(port.port()), seconds);
    ASSERT_TRUE(port.Play());
    ASSERT_EQ(QxPlay_FastEx(port.port(), 16), 1);
    // At sixteen times the speed the three seconds take well under two.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(port.shown().WaitFor(m_reference.size(), 30s)) << port.shown().Count();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    port.shown().WaitQuiet(300ms, 2s);
    const std::vector<RenderRecord::Shown> shown = port.shown().Pictures();
    ASSERT_EQ(shown.size(), m_reference.size());
    for (size_t i = 0; i < shown.size(); ++i)
        ASSERT_TRUE(shown[i].y == m_reference[i].y) << "picture " << i;
    EXPECT_EQ(QxPlay_Stop(port.port()), 1);
    EXPECT_GT(g_shortened, 0);
}

TEST_F(FilePlayback, SeeksLandOnAKeyPicture) {
    qx::kit::StreamOptions options;
    options.seconds = 10;
    options.gop = 25;
    Write(options);
    PlaybackPort port(2);
    ASSERT_EQ(QxPlay_OpenFile(port.port(), m_path.c_str()), 1);
    ASSERT_TRUE(port.Play());
    ASSERT_TRUE(port.shown().WaitFor(5, 10s));
    ASSERT_EQ(QxPlay_Pause(port.port(), 1), 1);
    port.shown().WaitQuiet(150ms, 2s);
    const size_t before = port.shown().Count();
    ASSERT_EQ(QxPlay_SetPlayPos(port.port(), 0.5f), 1);
    ASSERT_EQ(QxPlay_Pause(port.port(), 0), 1);
    // Pictures already on their way may come first; the jump lands on a key picture.
    const int64_t first = WaitForJump(port, before);
    EXPECT_EQ(first % 25, 0) << "first picture after the seek: " << first;
    EXPECT_GE(first, 75);
    EXPECT_LE(first, 175);

    // By time: to second 8, the key picture of frame 200.
    const size_t again = port.shown().Count();
    ASSERT_EQ(QxPlay_SetPlayedTimeEx(port.port(), 8), 1);
    const int64_t landed = WaitForJump(port, again);
    EXPECT_EQ(landed % 25, 0) << landed;
    EXPECT_GE(landed, 175);
    EXPECT_EQ(QxPlay_Stop(port.port()), 1);
}

TEST_F(FilePlayback, AFileThatCannotBeReadLeavesThePortStopped) {
    PlaybackPort port(2);
    ASSERT_EQ(QxPlay_OpenFile(port.port(), "/nonexistent/qx/file.qx"), 1);
    EXPECT_FALSE(port.Play());
    EXPECT_EQ(QxPlay_GetPlayStatus(port.port()), -19);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QxPlay_Stop(port.port()), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(QxPlay_GetFileTime(port.port()), 0u);
}

}  // namespace
