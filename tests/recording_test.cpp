// Recording what a port plays: block writes, what each open mode records, draining,
// a failing disk, and a recording played back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
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

Bytes Stream(int frames) {
    qx::kit::StreamOptions options;
    options.frames = frames;
    options.gop = 10;
    options.audioKind = qx::kit::kAudioALaw;
    std::vector<qx::kit::Packet> packets = qx::kit::StreamWriter::MakePackets(options);
    // The first sound packet cut to a few samples: a packet is recorded whatever its size.
    packets[1].payload.resize(40);
    packets[1].header.nal_len = 40;
    return qx::kit::Serialize(packets);
}

// The packets of a byte stream, sorted: a recording keeps them all, not their order.
std::vector<Bytes> SortedPackets(const Bytes& bytes) {
    std::vector<Bytes> packets = ChunksAtMarkers(bytes);
    std::sort(packets.begin(), packets.end());
    return packets;
}

TEST(Recording, ALivePortRecordsExactlyTheBytesItTookInBlocksAndWritesTheRestAtTheEnd) {
    // Less than a block is only written when the port stops.
    for (bool stopThePort : {false, true}) {
        SCOPED_TRACE(stopThePort);
        const std::string path = TempFile("live.qx");
        PlaybackPort port(0);
        ASSERT_TRUE(port.Play());
        EXPECT_EQ(QxPlay_StartRecord(port.port(), path.c_str()), 1);
        EXPECT_EQ(QxPlay_StartRecord(port.port(), path.c_str()), 1) << "already on";
        const Bytes stream = Stream(stopThePort ? 10 : 100);
        ASSERT_EQ(stream.size() < 102400u, stopThePort);
        // A host that hands over small pieces: every piece is recorded, whatever its size.
        Bytes taken;
        for (const Bytes& packet : ChunksAtMarkers(stream)) {
            for (Bytes& piece : qx::kit::SplitChunks(packet, 700)) {
                if (QxPlay_InputData(port.port(), piece.data(), piece.size()) == 1)
                    taken.insert(taken.end(), piece.begin(), piece.end());
            }
            EXPECT_EQ(QxPlay_GetRecordSize(port.port()) % 102400, 0u) << "written in whole blocks";
            std::this_thread::sleep_for(1ms);
        }
        if (stopThePort) {
            EXPECT_EQ(QxPlay_Stop(port.port()), 1);
        } else {
            EXPECT_EQ(QxPlay_StopRecord(port.port()), 1);
            EXPECT_EQ(QxPlay_GetRecordSize(port.port()), taken.size());
        }
        EXPECT_TRUE(ReadAll(path) == taken);
        std::remove(path.c_str());
    }
}

TEST(Recording, WhilePlayingAStreamOrAFilePlaysBackWithTheSamePictures) {
    const Bytes stream = Stream(40);
    const std::string source = TempFile("source.qx");
    std::ofstream(source, std::ios::binary)
        .write(reinterpret_cast<const char*>(stream.data()),
               static_cast<std::streamsize>(stream.size()));
    for (int mode : {1, 2, 3}) {
        SCOPED_TRACE(mode);
        const std::string path = TempFile("copy-" + std::to_string(mode) + ".qx");
        std::vector<RenderRecord::Shown> original;
        {
            PlaybackPort port(mode);
            EXPECT_EQ(QxPlay_StartRecord(port.port(), path.c_str()), 0) << "not playing";
            ASSERT_TRUE(mode != 2 || QxPlay_OpenFile(port.port(), source.c_str()) == 1);
            ASSERT_TRUE(port.Play());
            ASSERT_EQ(QxPlay_StartRecord(port.port(), path.c_str()), 1);
            if (mode != 2)
                port.Feed(WithEndMarker(stream), 4096);
            ASSERT_TRUE(port.shown().WaitFor(40, 20s));
            // The last picture is recorded as it is taken, just before it is shown.
            port.shown().WaitQuiet(300ms, 3s);
            EXPECT_EQ(QxPlay_StopRecord(port.port()), 1);
            original = port.shown().Pictures();
        }
        if (mode == 3) {
            EXPECT_EQ(ReadAll(path).size(), 0u) << "the fastest mode records nothing";
            continue;
        }
        EXPECT_TRUE(mode != 1 || SortedPackets(ReadAll(path)) == SortedPackets(stream))
            << "every packet, once";
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
        const auto first = static_cast<size_t>(qx::kit::ReadCounter(
            again[0].y.data(), again[0].width, again[0].width, again[0].height));
        EXPECT_EQ(first % 10, 0u) << "a recording starts at a key picture";
        EXPECT_TRUE(mode == 2 || first == 0);
        ASSERT_LE(first + again.size(), original.size());
        for (size_t i = 0; i < again.size(); ++i)
            EXPECT_TRUE(again[i].y == original[first + i].y && again[i].v == original[first + i].v)
                << i;
        std::remove(path.c_str());
    }
    std::remove(source.c_str());
}

TEST(Recording, AFullDiskEndsRecordingThroughTheExceptionCallback) {
    struct Seen {
        std::atomic<int> calls{0}, port{-1}, code{-1};
    } seen;
    PlaybackPort port(0);
    auto filter = [](int32_t p, int32_t code, void* user) {
        auto* s = static_cast<Seen*>(user);
        s->port = p;
        s->code = code;
        ++s->calls;
    };
    ASSERT_EQ(QxPlay_SetExceptionFilter(port.port(), filter, &seen), 1);
    ASSERT_TRUE(port.Play());
    ASSERT_EQ(QxPlay_StartRecord(port.port(), "/dev/full"), 1);
    port.Feed(Stream(60), 0);
    for (int i = 0; i < 1000 && seen.calls == 0; ++i)
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
