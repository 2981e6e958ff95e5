// Recording what a port plays: block writes, what each open mode records, draining,
// a failing disk, and a recording played back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "api/RecH264Data.h"
#include "qxplaylib.h"
#include "streamkit/StreamKit.h"
#include "support/PlaybackHarness.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

std::string TempFile(const std::string& name) {
    // CTest runs the cases of one binary as parallel processes: each needs its own files.
    return testing::TempDir() + "/qxrec-" + std::to_string(getpid()) + "-" + name;
}

Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

Bytes Stream(int frames, qx::kit::AudioKind audio = qx::kit::kAudioALaw) {
    qx::kit::StreamOptions options;
    options.frames = frames;
    options.gop = 10;
    options.audioKind = audio;
    return qx::kit::Serialize(qx::kit::StreamWriter::MakePackets(options));
}

TEST(Recording, ALivePortRecordsExactlyTheBytesItTookInBlocks) {
    const std::string path = TempFile("live.qx");
    PlaybackPort port(0);
    ASSERT_TRUE(port.Play());
    EXPECT_EQ(QxPlay_StartRecord(port.port(), path.c_str()), 1);
    EXPECT_EQ(QxPlay_StartRecord(port.port(), path.c_str()), 1) << "already on";
    const Bytes stream = Stream(100);
    ASSERT_GT(stream.size(), 250000u);
    // A host that hands over small pieces: every piece is recorded, whatever its size.
    Bytes taken;
    std::vector<uint32_t> sizes;
    for (const Bytes& packet : ChunksAtMarkers(stream)) {
        for (size_t at = 0; at < packet.size(); at += 700) {
            Bytes piece(packet.begin() + at, packet.begin() + std::min(packet.size(), at + 700));
            if (QxPlay_InputData(port.port(), piece.data(), static_cast<uint32_t>(piece.size())) ==
                1)
                taken.insert(taken.end(), piece.begin(), piece.end());
        }
        sizes.push_back(QxPlay_GetRecordSize(port.port()));
        std::this_thread::sleep_for(1ms);
    }
    for (uint32_t size : sizes)
        EXPECT_EQ(size % 102400, 0u) << "written in whole blocks while recording";
    EXPECT_EQ(QxPlay_StopRecord(port.port()), 1);
    EXPECT_EQ(QxPlay_GetRecordSize(port.port()), taken.size());
    EXPECT_TRUE(ReadAll(path) == taken);
    std::remove(path.c_str());
}

class RecordingWhilePlaying : public testing::TestWithParam<int> {};

TEST_P(RecordingWhilePlaying, PlaysBackWithTheSamePictures) {
    const int mode = GetParam();
    const std::string source = TempFile("source-" + std::to_string(mode) + ".qx");
    const std::string path = TempFile("copy-" + std::to_string(mode) + ".qx");
    const Bytes stream = Stream(40);
    std::vector<RenderRecord::Shown> original;
    {
        PlaybackPort port(mode);
        if (mode == 2) {
            std::ofstream(source, std::ios::binary)
                .write(reinterpret_cast<const char*>(stream.data()),
                       static_cast<std::streamsize>(stream.size()));
            ASSERT_EQ(QxPlay_OpenFile(port.port(), source.c_str()), 1);
        }
        ASSERT_TRUE(port.Play());
        ASSERT_EQ(QxPlay_StartRecord(port.port(), path.c_str()), 1);
        if (mode == 1)
            port.Feed(WithEndMarker(stream), 4096);
        ASSERT_TRUE(port.shown().WaitFor(40, 20s));
        // The last picture is recorded as it is taken, just before it is shown.
        port.shown().WaitQuiet(300ms, 3s);
        EXPECT_EQ(QxPlay_StopRecord(port.port()), 1);
        original = port.shown().Pictures();
    }
    // In the file mode the reader starts with Play, so the first pictures may be
    // played before recording starts; the recording then begins at a later key picture.
    const size_t least = mode == 1 ? 39 : 29;
    const std::list<H264_VAO> recorded = RecH264Data::ReadPESFile(path);
    EXPECT_GE(recorded.size(), least);
    for (const H264_VAO& p : recorded)
        delete[] p.data;

    PlaybackPort replay(2);
    ASSERT_EQ(QxPlay_OpenFile(replay.port(), path.c_str()), 1);
    ASSERT_TRUE(replay.Play());
    QxPlay_FastEx(replay.port(), 8);
    // The last packet of a file has no marker behind it and is not played.
    ASSERT_TRUE(replay.shown().WaitFor(least, 20s)) << replay.shown().Count();
    replay.shown().WaitQuiet(300ms, 3s);
    const std::vector<RenderRecord::Shown> again = replay.shown().Pictures();
    ASSERT_EQ(original.size(), 40u);
    const int64_t first =
        qx::kit::ReadCounter(again[0].y.data(), again[0].width, again[0].width, again[0].height);
    EXPECT_EQ(first % 10, 0) << "a recording starts at a key picture";
    if (mode == 1) {
        EXPECT_EQ(first, 0);
    }
    for (size_t i = 0; i < again.size(); ++i) {
        SCOPED_TRACE(i);
        const size_t frame = static_cast<size_t>(first) + i;
        ASSERT_LT(frame, original.size());
        EXPECT_TRUE(again[i].y == original[frame].y && again[i].v == original[frame].v);
    }
    std::remove(path.c_str());
    std::remove(source.c_str());
}

INSTANTIATE_TEST_SUITE_P(StreamAndFile, RecordingWhilePlaying, testing::Values(1, 2),
                         [](const testing::TestParamInfo<int>& info) {
                             return "mode" + std::to_string(info.param);
                         });

TEST(Recording, StoppingThePortWritesWhatIsStillBuffered) {
    const std::string path = TempFile("drain.qx");
    PlaybackPort port(0);
    ASSERT_TRUE(port.Play());
    ASSERT_EQ(QxPlay_StartRecord(port.port(), path.c_str()), 1);
    const Bytes stream = Stream(10);
    ASSERT_LT(stream.size(), 102400u);
    size_t taken = 0;
    for (const Bytes& packet : ChunksAtMarkers(stream)) {
        if (QxPlay_InputData(port.port(), const_cast<uint8_t*>(packet.data()),
                             static_cast<uint32_t>(packet.size())) == 1)
            taken += packet.size();
    }
    EXPECT_EQ(QxPlay_Stop(port.port()), 1);
    EXPECT_EQ(ReadAll(path).size(), taken);
    std::remove(path.c_str());
}

TEST(Recording, TheFastestModeRecordsNothingAndAStoppedPortRefuses) {
    const std::string path = TempFile("mode3.qx");
    PlaybackPort port(3);
    EXPECT_EQ(QxPlay_StartRecord(port.port(), path.c_str()), 0) << "not playing";
    ASSERT_TRUE(port.Play());
    ASSERT_EQ(QxPlay_StartRecord(port.port(), path.c_str()), 1);
    port.Feed(WithEndMarker(Stream(10)), 4096);
    ASSERT_TRUE(port.shown().WaitFor(10, 20s));
    EXPECT_EQ(QxPlay_StopRecord(port.port()), 1);
    EXPECT_EQ(ReadAll(path).size(), 0u);
    std::remove(path.c_str());
}

TEST(Recording, AFullDiskEndsRecordingThroughTheExceptionCallback) {
    struct Seen {
        std::atomic<int> calls{0};
        std::atomic<int> port{-1};
        std::atomic<int> code{-1};
    } seen;
    PlaybackPort port(0);
    ASSERT_EQ(QxPlay_SetExceptionFilter(
                  port.port(),
                  [](int32_t p, int32_t code, void* user) {
                      auto* s = static_cast<Seen*>(user);
                      s->port = p;
                      s->code = code;
                      ++s->calls;
                  },
                  &seen),
              1);
    ASSERT_TRUE(port.Play());
    ASSERT_EQ(QxPlay_StartRecord(port.port(), "/dev/full"), 1);
    const Bytes stream = Stream(60);
    for (const Bytes& packet : ChunksAtMarkers(stream))
        QxPlay_InputData(port.port(), const_cast<uint8_t*>(packet.data()),
                         static_cast<uint32_t>(packet.size()));
    const auto give_up = std::chrono::steady_clock::now() + 5s;
    while (seen.calls == 0 && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.port, port.port());
    EXPECT_EQ(seen.code, 1);
    EXPECT_EQ(QxPlay_GetRecordSize(port.port()), 0u);

    // The ended record thread is no obstacle to the next recording.
    const std::string path = TempFile("after-full.qx");
    EXPECT_EQ(QxPlay_StartRecord(port.port(), path.c_str()), 1);
    EXPECT_EQ(QxPlay_StopRecord(port.port()), 1);
    std::remove(path.c_str());
}

}  // namespace
