// The session's audio path without a sound card: payloads cut into frames, the
// player's callback, trick play and the sound exports. The sink never moves on its
// own, so the tests call the callback themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "audio/AudioSink.h"
#include "qxplaylib.h"
#include "session/DDrawSession.h"
#include "streamkit/StreamKit.h"
#include "support/PlaybackHarness.h"

namespace {

using Bytes = std::vector<uint8_t>;

class StalledSink : public qx::audio::AudioSink {
  public:
    bool Open(const qx::audio::PcmFormat&) override { return true; }
    size_t Write(const uint8_t*, size_t size) override { return size; }
    int64_t PlayedBytes() override { return 0; }
    void Close() override {}
    const char* Name() const override { return "stalled"; }
};

qx::kit::Packet AudioPacket(int kind, int64_t pts, const Bytes& payload) {
    qx::kit::Packet p;
    p.header.knd = kind;
    p.header.pts = pts;
    p.header.nal_len = static_cast<int32_t>(payload.size());
    p.payload = payload;
    return p;
}

class AudioPath : public testing::Test {
  protected:
    void SetUp() override {
        qx::audio::SetSinkFactory([] { return std::make_unique<StalledSink>(); });
    }
    void TearDown() override {
        session.Audio().StopSound();
        qx::audio::SetSinkFactory(nullptr);
    }
    void Start(int mode) {
        ASSERT_TRUE(session.SetOpenMode(mode));
        session.SetPlayState(qx::kStateNormal);
        ASSERT_EQ(session.Audio().PlaySound(), 1);
    }
    // Pushes the packets (and a marker that ends the last) and parses them.
    void Feed(const std::vector<qx::kit::Packet>& packets) {
        const Bytes bytes = WithEndMarker(qx::kit::Serialize(packets));
        ASSERT_EQ(session.InputData(bytes.data(), static_cast<int>(bytes.size())), 1);
        // The end marker of an earlier feed comes out first, as a packet of its own.
        while (session.ParseStep()) {
        }
    }
    std::vector<FRAME_BUF> Drain() {
        std::vector<FRAME_BUF> frames;
        FRAME_BUF frame;
        while (session.Audio().Queue().Pop(&frame))
            frames.push_back(frame);
        return frames;
    }
    DDrawSession session;
};

TEST_F(AudioPath, CutsExactlyThePayloadsIntoFramesAndCarriesTheRest) {
    Start(3);
    // A payload longer than 1600 bytes is no sound.
    Feed({AudioPacket(1, 0, Bytes(480, 1)), AudioPacket(1, 30000, Bytes(1601, 9)),
          AudioPacket(1, 60000, Bytes(500, 2)), AudioPacket(1, 120000, Bytes(300, 3))});
    std::vector<FRAME_BUF> frames = Drain();
    // 480 -> 3 frames; 500 -> 3 frames and 20 bytes that lead the 300 -> 2 frames.
    ASSERT_EQ(frames.size(), 8u);
    for (const FRAME_BUF& f : frames)
        EXPECT_EQ(f.param.nal_len, 160);
    // Trailer bytes (FF) taken for sound would shift every later frame.
    EXPECT_EQ(frames[2].data[159], 1);
    EXPECT_EQ(frames[3].data[0], 2);
    EXPECT_EQ(frames[6].data[19], 2);
    EXPECT_EQ(frames[6].data[20], 3);
    // Each frame at its own time, 20 ms apart; the carried bytes come 2.5 ms early.
    EXPECT_EQ(frames[1].param.pts, 20000);
    EXPECT_EQ(frames[4].param.pts, 80000);
    EXPECT_EQ(frames[6].param.pts, 120000 - 20 * 125);
    EXPECT_EQ(frames[7].param.pts, frames[6].param.pts + 20000);

    // Signed 8-bit samples are made unsigned.
    Bytes payload = {0x00, 0x7F, 0x80};
    payload.resize(160);
    Feed({AudioPacket(2, 0, payload)});
    frames = Drain();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(Bytes(frames[0].data, frames[0].data + 3), (Bytes{0x80, 0xFF, 0x00}));
}

TEST_F(AudioPath, TheCallbackDecodesWholeFramesAndNeverWritesPastTheRequest) {
    Start(3);
    // A-law 0xD5 decodes to 8, µ-law 0x80 to 32124.
    Feed({AudioPacket(1, 0, Bytes(320, 0xD5))});
    std::vector<int16_t> pcm(320 + 16, -1);
    session.OnAudioData(reinterpret_cast<unsigned char*>(pcm.data()), 640);
    EXPECT_EQ(std::count(pcm.begin(), pcm.begin() + 320, 8), 320);
    EXPECT_EQ(pcm[320], -1);
    EXPECT_EQ(session.Audio().Queue().Count(), 0);

    // Another kind of sound replaces the player's format.
    Feed({AudioPacket(3, 60000, Bytes(160, 0x80))});
    std::vector<int16_t> small(100, -1);
    session.OnAudioData(reinterpret_cast<unsigned char*>(small.data()), 100);
    EXPECT_EQ(std::count(small.begin(), small.begin() + 50, 32124), 50);
    EXPECT_EQ(std::count(small.begin() + 50, small.end(), -1), 50) << "written past the request";
}

TEST_F(AudioPath, PauseAndFastPlayAreSilentAndAFileDropsSoundBeforeTheFirstPicture) {
    Start(1);
    Feed({AudioPacket(1, 0, Bytes(800, 0xD5))});
    ASSERT_EQ(session.Audio().Queue().Count(), 5);
    std::vector<uint8_t> out(640, 0);
    session.SetPlayState(qx::kStatePause);
    session.OnAudioData(out.data(), 640);
    EXPECT_EQ(session.Audio().Queue().Count(), 5) << "paused: nothing taken";
    for (int state : {4, qx::kStateNormal}) {
        session.SetPlayState(state);
        session.OnAudioData(out.data(), 640);
        EXPECT_EQ(std::count(out.begin(), out.end(), 0), 640) << state;
    }
    EXPECT_EQ(session.Audio().Queue().Count(), 0);
}

TEST_F(AudioPath, AFullQueueWithNoPlayerPlayingIsEmptiedNotWaitedOn) {
    qx::audio::SetSinkFactory([] { return std::unique_ptr<qx::audio::AudioSink>(); });
    Start(3);
    Feed({AudioPacket(1, 0, Bytes(1600, 1))});
    EXPECT_EQ(session.Audio().Queue().Count(), 10);
    // Twelve frames fit; with no one to drain them the parser must not wait.
    const auto start = std::chrono::steady_clock::now();
    Feed({AudioPacket(1, 200000, Bytes(1600, 2))});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(session.Audio().Queue().Count(), 0);
}

TEST_F(AudioPath, TheSoundExportsSwitchOnceAndReportTheVolume) {
    PlaybackPort port(1);
    EXPECT_EQ(QxPlay_GetVolume(port.port()), 0);
    EXPECT_EQ(QxPlay_SetVolume(port.port(), 5000), 0) << "no player while the sound is off";
    EXPECT_EQ(QxPlay_StopSound(port.port()), 1);
    EXPECT_EQ(QxPlay_PlaySound(port.port()), 1);
    EXPECT_EQ(QxPlay_PlaySound(port.port()), 1);
    EXPECT_EQ(QxPlay_GetVolume(port.port()), 10000) << "not opened yet";
    EXPECT_EQ(QxPlay_SetVolume(port.port(), 65535), 1);
    EXPECT_EQ(QxPlay_PlaySound(999), 0);
    EXPECT_EQ(QxPlay_StopSound(port.port()), 1);
    EXPECT_EQ(QxPlay_GetVolume(port.port()), 0);
}

}  // namespace
