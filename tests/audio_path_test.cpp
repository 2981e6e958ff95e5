// The session's audio path without a sound card: payloads cut into frames, the
// player's callback, trick play and the sound exports. The sink never moves on its
// own, so the tests call the callback themselves.
#include <gtest/gtest.h>

#include <cstring>
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

Bytes Filled(size_t n, uint8_t value) {
    return Bytes(n, value);
}

TEST_F(AudioPath, CutsPayloadsIntoFramesAndCarriesTheRest) {
    Start(3);
    Feed({AudioPacket(1, 0, Filled(480, 1)), AudioPacket(1, 60000, Filled(500, 2)),
          AudioPacket(1, 120000, Filled(300, 3))});
    const std::vector<FRAME_BUF> frames = Drain();
    // 480 -> 3 frames; 500 -> 3 frames and 20 bytes that lead the 300 -> 2 frames.
    ASSERT_EQ(frames.size(), 8u);
    for (const FRAME_BUF& f : frames)
        EXPECT_EQ(f.param.nal_len, 160);
    EXPECT_EQ(frames[2].data[159], 1);
    EXPECT_EQ(frames[3].data[0], 2);
    EXPECT_EQ(frames[6].data[19], 2);
    EXPECT_EQ(frames[6].data[20], 3);
    // Each frame at its own time, 20 ms apart; the carried bytes come 2.5 ms early.
    EXPECT_EQ(frames[1].param.pts, 20000);
    EXPECT_EQ(frames[4].param.pts, 80000);
    EXPECT_EQ(frames[6].param.pts, 120000 - 20 * 125);
    EXPECT_EQ(frames[7].param.pts, frames[6].param.pts + 20000);
}

TEST_F(AudioPath, TakesExactlyThePayloadAndNotItsTrailer) {
    Start(3);
    Feed({AudioPacket(1, 0, Filled(160, 7)), AudioPacket(1, 20000, Filled(160, 8)),
          AudioPacket(1, 40000, Filled(1600, 9))});
    const std::vector<FRAME_BUF> frames = Drain();
    ASSERT_EQ(frames.size(), 12u);
    // Trailer bytes (FF) taken for sound would shift every later frame.
    for (int i = 0; i < 160; ++i)
        ASSERT_EQ(frames[1].data[i], 8) << i;
    EXPECT_EQ(frames[11].data[159], 9);
}

TEST_F(AudioPath, IgnoresPayloadsLongerThan1600Bytes) {
    Start(3);
    Feed({AudioPacket(1, 0, Filled(1601, 1)), AudioPacket(1, 0, Filled(320, 2))});
    EXPECT_EQ(Drain().size(), 2u);
}

TEST_F(AudioPath, MakesSigned8BitSamplesUnsigned) {
    Start(3);
    Bytes payload(160);
    payload[0] = 0x00;
    payload[1] = 0x7F;
    payload[2] = 0x80;
    Feed({AudioPacket(2, 0, payload)});
    const std::vector<FRAME_BUF> frames = Drain();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data[0], 0x80);
    EXPECT_EQ(frames[0].data[1], 0xFF);
    EXPECT_EQ(frames[0].data[2], 0x00);
}

TEST_F(AudioPath, TheCallbackDecodesWholeFramesAndNeverWritesPastTheRequest) {
    Start(3);
    // A-law 0xD5 decodes to 8, µ-law 0x80 to 32124.
    Feed({AudioPacket(1, 0, Filled(320, 0xD5))});
    std::vector<int16_t> pcm(320 + 16, -1);
    session.OnAudioData(reinterpret_cast<unsigned char*>(pcm.data()), 640);
    for (int i = 0; i < 320; ++i)
        ASSERT_EQ(pcm[i], 8) << i;
    EXPECT_EQ(pcm[320], -1);
    EXPECT_EQ(session.Audio().Queue().Count(), 0);

    // Another kind of sound replaces the player's format.
    Feed({AudioPacket(3, 60000, Filled(160, 0x80))});
    std::vector<int16_t> small(100, -1);
    session.OnAudioData(reinterpret_cast<unsigned char*>(small.data()), 100);
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(small[i], 32124) << i;
    for (int i = 50; i < 100; ++i)
        ASSERT_EQ(small[i], -1) << "written past the request at " << i;
}

TEST_F(AudioPath, PauseAndFastPlayAreSilent) {
    Start(1);
    Feed({AudioPacket(1, 0, Filled(800, 0xD5))});
    ASSERT_EQ(session.Audio().Queue().Count(), 5);
    std::vector<uint8_t> out(640, 0);
    session.SetPlayState(qx::kStatePause);
    session.OnAudioData(out.data(), 640);
    EXPECT_EQ(session.Audio().Queue().Count(), 5) << "paused: nothing taken";
    session.SetPlayState(4);
    session.OnAudioData(out.data(), 640);
    for (uint8_t b : out)
        ASSERT_EQ(b, 0);
}

TEST_F(AudioPath, AFileDropsSoundThatComesBeforeTheFirstPicture) {
    Start(1);
    Feed({AudioPacket(1, 0, Filled(480, 0xD5))});
    std::vector<int16_t> pcm(480, 0);
    session.OnAudioData(reinterpret_cast<unsigned char*>(pcm.data()), 960);
    EXPECT_EQ(session.Audio().Queue().Count(), 0);
    for (int16_t s : pcm)
        ASSERT_EQ(s, 0);
}

TEST_F(AudioPath, AFullQueueWithNoPlayerPlayingIsEmptiedNotWaitedOn) {
    qx::audio::SetSinkFactory([] { return std::unique_ptr<qx::audio::AudioSink>(); });
    Start(3);
    Feed({AudioPacket(1, 0, Filled(1600, 1))});
    EXPECT_EQ(session.Audio().Queue().Count(), 10);
    // Twelve frames fit; with no one to drain them the parser must not wait.
    const auto start = std::chrono::steady_clock::now();
    Feed({AudioPacket(1, 200000, Filled(1600, 2))});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(session.Audio().Queue().Count(), 0);
}

TEST(SoundExports, SwitchOnceAndReportTheVolume) {
    qx::audio::SetSinkFactory([] { return std::make_unique<StalledSink>(); });
    {
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
    qx::audio::SetSinkFactory(nullptr);
}

}  // namespace
