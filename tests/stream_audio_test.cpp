// The sound player against a sink whose play position the test moves by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/CStreamAudio.h"
#include "audio/WavFileSink.h"

namespace {

using namespace std::chrono_literals;

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
    size_t Calls() {
        std::lock_guard<std::mutex> lock(mutex);
        return requests.size();
    }
    std::mutex mutex;
    std::vector<int> requests;

  private:
    int m_next = 0;
};

class StreamAudio : public testing::Test {
  protected:
    bool Open(int bits, CStreamAudioHandler* handler, int32_t volume = 0) {
        m_player.SetVolume(volume);
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
        for (int i = 0; i < 1000 && Written() < bytes; ++i)
            std::this_thread::sleep_for(2ms);
        return Written() >= bytes;
    }

    std::shared_ptr<HandSink::State> m_state = std::make_shared<HandSink::State>();
    CStreamAudio m_player;
};

TEST_F(StreamAudio, PlaysSilenceThenTheHandlersSoundInWholePlayedBlocksAndClosesQuickly) {
    CountingHandler handler;
    int32_t volume = 1;
    for (int bits : {8, 16}) {
        SCOPED_TRACE(bits);
        m_state = std::make_shared<HandSink::State>();
        // Without a handler, the refills are silence too.
        ASSERT_TRUE(Open(bits, bits == 16 ? &handler : nullptr, bits == 16 ? 0 : -2000));
        ASSERT_EQ(m_player.GetVolume(&volume), 1);
        EXPECT_EQ(volume, bits == 16 ? 0 : -2000) << "set while closed";
        // 20 ms a block; the first lap of sixteen is silence.
        const int block = bits == 16 ? 320 : 160;
        EXPECT_EQ(m_player.blockBytes(), block);
        ASSERT_EQ(Written(), 16u * block);
        Play(block - 1);
        std::this_thread::sleep_for(60ms);
        EXPECT_EQ(Written(), 16u * block) << "less than a block played";
        Play(block * 2 + 100);
        ASSERT_TRUE(WaitWritten(18u * block));
        std::this_thread::sleep_for(40ms);
        EXPECT_EQ(Written(), 18u * block);
        Play(block * 10);
        ASSERT_TRUE(WaitWritten(26u * block));
        Play(block * 20);
        ASSERT_TRUE(WaitWritten(36u * block));
        const auto heard = m_state->written.begin();
        const int silent = (bits == 16 ? 16 : 36) * block;
        EXPECT_EQ(std::count(heard, heard + silent, bits == 16 ? 0 : 128), silent);
    }
    {
        // The ring is 16 blocks: the last refill starts at block 26 % 16 = 10, so it
        // comes as 6 blocks up to the end and 4 from the start.
        std::lock_guard<std::mutex> lock(handler.mutex);
        EXPECT_EQ(handler.requests, (std::vector<int>{2 * 320, 8 * 320, 6 * 320, 4 * 320}));
    }
    // The handler's bytes run 1..200: both refills begin with the sample 0x0201, the one
    // at 0 dB as it is, the one after the volume went to -20 dB a tenth of it.
    ASSERT_EQ(m_player.SetVolume(-2000), 1);
    Play(320 * 21);
    ASSERT_TRUE(WaitWritten(37u * 320));
    int16_t samples[2] = {};
    std::memcpy(&samples[0], m_state->written.data() + 16 * 320, 2);
    std::memcpy(&samples[1], m_state->written.data() + 36 * 320, 2);
    EXPECT_EQ(samples[0], 0x0201);
    EXPECT_NEAR(samples[1], 0x0201 / 10, 1);
    // Closing while it plays is quick, and no callback follows it.
    const size_t before = handler.Calls();
    std::atomic<bool> playing{true};
    std::thread clock([&] {
        for (int64_t at = 320 * 21; playing; at += 320) {
            Play(at);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::this_thread::sleep_for(50ms);
    const auto start = std::chrono::steady_clock::now();
    m_player.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    const size_t calls = handler.Calls();
    EXPECT_GT(calls, before) << "it was playing";
    std::this_thread::sleep_for(50ms);
    playing = false;
    clock.join();
    EXPECT_EQ(handler.Calls(), calls);
    EXPECT_EQ(m_player.IsOpened(), 0);
    EXPECT_EQ(m_player.GetVolume(&volume), 0);
    EXPECT_EQ(m_player.SetVolume(-500), 1);
}

TEST(WavFileSink, WritesAPlayableFileAndPlaysAtTheRealRate) {
    const std::string path = testing::TempDir() + "/sink.wav";
    qx::audio::WavFileSink sink(path);
    ASSERT_TRUE(sink.Open({1, 8000, 16}));
    std::vector<uint8_t> second(16000, 0x11);
    ASSERT_TRUE(sink.Write(second.data(), second.size()));
    std::this_thread::sleep_for(100ms);
    const int64_t played = sink.PlayedBytes();
    EXPECT_GT(played, 1000);
    EXPECT_LT(played, 4000);
    sink.Close();
    char header[44] = {};
    ASSERT_TRUE(std::ifstream(path, std::ios::binary).read(header, 44));
    EXPECT_EQ(std::memcmp(header, "RIFF", 4), 0);
    EXPECT_EQ(std::memcmp(header + 8, "WAVEfmt ", 8), 0);
    const uint32_t rate = 8000, data = 16000;
    EXPECT_EQ(std::memcmp(header + 24, &rate, 4), 0);
    EXPECT_EQ(std::memcmp(header + 40, &data, 4), 0);
    std::remove(path.c_str());
}

}  // namespace
