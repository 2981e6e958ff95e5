// The sound player against a sink whose play position the test moves by hand.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/CStreamAudio.h"
#include "audio/WavFileSink.h"

namespace {

class HandSink : public qx::audio::AudioSink {
  public:
    struct State {
        std::mutex mutex;
        int64_t played = 0;
        std::vector<uint8_t> written;
    };
    explicit HandSink(std::shared_ptr<State> state) : m_state(std::move(state)) {}
    bool Open(const qx::audio::PcmFormat&) override { return true; }
    size_t Write(const uint8_t* data, size_t size) override {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->written.insert(m_state->written.end(), data, data + size);
        return size;
    }
    int64_t PlayedBytes() override {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        return m_state->played;
    }
    void Close() override {}
    const char* Name() const override { return "hand"; }

  private:
    std::shared_ptr<State> m_state;
};

// Writes a running byte counter, so that every byte shows which call wrote it.
class CountingHandler : public CStreamAudioHandler {
  public:
    void OnAudioData(unsigned char* buffer, int32_t bytes) override {
        for (int i = 0; i < bytes; ++i)
            buffer[i] = static_cast<unsigned char>(1 + (m_next++ % 200));
        std::lock_guard<std::mutex> lock(mutex);
        requests.push_back(bytes);
    }
    std::mutex mutex;
    std::vector<int> requests;

  private:
    int m_next = 0;
};

class StreamAudio : public testing::Test {
  protected:
    bool Open(int bits, CStreamAudioHandler* handler) {
        m_player.SetVolume(0);
        return m_player.Open(0, handler, 1, 8000, bits, 1, std::make_unique<HandSink>(m_state)) ==
               1;
    }
    void Play(int64_t bytes) {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->played = bytes;
    }
    size_t Written() {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        return m_state->written.size();
    }
    bool WaitWritten(size_t bytes) {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (Written() < bytes) {
            if (std::chrono::steady_clock::now() > give_up)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    std::shared_ptr<HandSink::State> m_state = std::make_shared<HandSink::State>();
    CStreamAudio m_player;
};

TEST_F(StreamAudio, StartsWithSixteenBlocksOfSilence) {
    CountingHandler handler;
    ASSERT_TRUE(Open(16, &handler));
    EXPECT_EQ(m_player.blockBytes(), 320);
    ASSERT_EQ(Written(), 16u * 320);
    for (uint8_t b : m_state->written)
        ASSERT_EQ(b, 0);
    m_player.Close();

    CStreamAudio eightBit;
    auto state = std::make_shared<HandSink::State>();
    ASSERT_EQ(eightBit.Open(0, &handler, 1, 8000, 8, 2, std::make_unique<HandSink>(state)), 1);
    EXPECT_EQ(eightBit.blockBytes(), 160);
    ASSERT_EQ(state->written.size(), 16u * 160);
    for (uint8_t b : state->written)
        ASSERT_EQ(b, 128);
}

TEST_F(StreamAudio, RefillsOnlyWholeBlocksThatWerePlayed) {
    CountingHandler handler;
    ASSERT_TRUE(Open(16, &handler));
    Play(319);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(Written(), 16u * 320) << "less than a block played";
    Play(320 * 2 + 100);
    ASSERT_TRUE(WaitWritten(18u * 320));
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_EQ(Written(), 18u * 320);
    std::lock_guard<std::mutex> lock(handler.mutex);
    ASSERT_FALSE(handler.requests.empty());
    for (int request : handler.requests)
        EXPECT_EQ(request % 320, 0);
}

TEST_F(StreamAudio, SplitsARefillAtTheEndOfTheRing) {
    CountingHandler handler;
    ASSERT_TRUE(Open(16, &handler));
    Play(320 * 10);
    ASSERT_TRUE(WaitWritten(26u * 320));
    // The ring is 16 blocks; written up to block 26 means the next offset is block 10.
    Play(320 * 20);
    ASSERT_TRUE(WaitWritten(36u * 320));
    std::lock_guard<std::mutex> lock(handler.mutex);
    int total = 0;
    for (int request : handler.requests)
        total += request;
    EXPECT_EQ(total, 20 * 320);
    // The second refill of 10 blocks starts at ring block 10: 6 blocks up to the end,
    // then 4 from the start.
    const std::vector<int>& r = handler.requests;
    ASSERT_GE(r.size(), 3u);
    EXPECT_EQ(r[r.size() - 2], 6 * 320);
    EXPECT_EQ(r.back(), 4 * 320);
}

TEST_F(StreamAudio, WithoutAHandlerOrWithAQuietOneItPlaysSilence) {
    ASSERT_TRUE(Open(16, nullptr));
    Play(320 * 4);
    ASSERT_TRUE(WaitWritten(20u * 320));
    for (uint8_t b : m_state->written)
        ASSERT_EQ(b, 0);
}

TEST_F(StreamAudio, CloseIsQuickAndNoCallbackFollowsIt) {
    CountingHandler handler;
    ASSERT_TRUE(Open(16, &handler));
    std::atomic<bool> playing{true};
    std::thread clock([&] {
        for (int64_t at = 0; playing; at += 320) {
            Play(at);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = std::chrono::steady_clock::now();
    m_player.Close();
    const auto took = std::chrono::steady_clock::now() - start;
    size_t calls;
    {
        std::lock_guard<std::mutex> lock(handler.mutex);
        calls = handler.requests.size();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    playing = false;
    clock.join();
    EXPECT_LT(took, std::chrono::milliseconds(100));
    EXPECT_GT(calls, 0u);
    std::lock_guard<std::mutex> lock(handler.mutex);
    EXPECT_EQ(handler.requests.size(), calls);
    EXPECT_EQ(m_player.IsOpened(), 0);
}

TEST_F(StreamAudio, VolumeScalesTheSoundAndIsKeptWhileClosed) {
    class Loud : public CStreamAudioHandler {
        void OnAudioData(unsigned char* buffer, int32_t bytes) override {
            auto* samples = reinterpret_cast<int16_t*>(buffer);
            for (int i = 0; i < bytes / 2; ++i)
                samples[i] = 20000;
        }
    } loud;
    m_player.SetVolume(-2000);
    ASSERT_EQ(m_player.Open(0, &loud, 1, 8000, 16, 1, std::make_unique<HandSink>(m_state)), 1);
    int32_t volume = 1;
    ASSERT_EQ(m_player.GetVolume(&volume), 1);
    EXPECT_EQ(volume, -2000);
    Play(320);
    ASSERT_TRUE(WaitWritten(17u * 320));
    int16_t sample = 0;
    std::memcpy(&sample, m_state->written.data() + 16 * 320, 2);
    EXPECT_NEAR(sample, 2000, 2) << "-20 dB is a tenth";
    m_player.Close();
    EXPECT_EQ(m_player.GetVolume(&volume), 0);
    EXPECT_EQ(m_player.SetVolume(-500), 1);
}

TEST(WavFileSink, WritesAPlayableFileAndPlaysAtTheRealRate) {
    const std::string path = testing::TempDir() + "/sink.wav";
    qx::audio::WavFileSink sink(path);
    ASSERT_TRUE(sink.Open({1, 8000, 16}));
    std::vector<uint8_t> second(16000, 0x11);
    ASSERT_TRUE(sink.Write(second.data(), second.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int64_t played = sink.PlayedBytes();
    EXPECT_GT(played, 1000);
    EXPECT_LT(played, 4000);
    sink.Close();
    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    uint8_t header[44];
    ASSERT_EQ(std::fread(header, 1, 44, file), 44u);
    std::fclose(file);
    EXPECT_EQ(std::memcmp(header, "RIFF", 4), 0);
    EXPECT_EQ(std::memcmp(header + 8, "WAVEfmt ", 8), 0);
    uint32_t rate = 0, data = 0;
    std::memcpy(&rate, header + 24, 4);
    std::memcpy(&data, header + 40, 4);
    EXPECT_EQ(rate, 8000u);
    EXPECT_EQ(data, 16000u);
    std::remove(path.c_str());
}

}  // namespace
