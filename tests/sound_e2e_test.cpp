// Sound end to end through the C interface: a written stream with a tone, a click
// every second and a flash in the picture at the same time stamps, played into the
// WAV sink. The sound must come out at the right rate, and each click must be heard
// when its flash is shown.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <numeric>
#include <vector>

#include "audio/AudioSink.h"
#include "audio/WavFileSink.h"
#include "qxplaylib.h"
#include "streamkit/StreamKit.h"
#include "support/PlaybackHarness.h"

namespace {

// Under ThreadSanitizer everything runs many times slower: the sound still has to
// play through without a race, but its timing says nothing.
#ifdef __SANITIZE_THREAD__
constexpr bool kTimed = false;
#else
constexpr bool kTimed = true;
#endif

using Clock = std::chrono::steady_clock;

struct Case {
    int mode;
    qx::kit::AudioKind kind;
};

std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return "mode" + std::to_string(info.param.mode) + "_kind" +
           std::to_string(static_cast<int>(info.param.kind));
}

// Samples of a WAV file as signed values around 0 (8-bit samples are unsigned).
std::vector<int> ReadWav(const std::string& path, int* bits) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    std::vector<int> samples;
    if (bytes.size() < 44)
        return samples;
    *bits = bytes[34];
    for (size_t i = 44; i < bytes.size(); i += *bits / 8) {
        if (*bits == 8)
            samples.push_back(static_cast<int>(bytes[i]) - 128);
        else if (i + 1 < bytes.size())
            samples.push_back(static_cast<int16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return samples;
}

// First sample of each click (a burst far louder than the tone).
std::vector<size_t> ClickOnsets(const std::vector<int>& samples, int threshold) {
    std::vector<size_t> onsets;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (std::abs(samples[i]) < threshold)
            continue;
        if (onsets.empty() || i - onsets.back() > 4000)
            onsets.push_back(i);
    }
    return onsets;
}

class Sound : public testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        m_path = testing::TempDir() + "/sound-" + CaseName({GetParam(), 0}) + ".wav";
        qx::audio::SetSinkFactory([this]() -> std::unique_ptr<qx::audio::AudioSink> {
            auto sink = std::make_unique<qx::audio::WavFileSink>(m_path);
            m_sink = sink.get();
            return sink;
        });
    }
    void TearDown() override {
        qx::audio::SetSinkFactory(nullptr);
        std::remove(m_path.c_str());
    }

    std::string m_path;
    std::atomic<qx::audio::WavFileSink*> m_sink{nullptr};
};

TEST_P(Sound, ClicksAreHeardWithTheirFlashes) {
    const Case c = GetParam();
    qx::kit::StreamOptions options;
    options.width = 160;
    options.height = 120;
    options.seconds = 4;
    options.audioKind = c.kind;
    const std::vector<qx::kit::Packet> packets = qx::kit::StreamWriter::MakePackets(options);
    const int frames = qx::kit::FrameCount(options);

    PlaybackPort port(c.mode);
    ASSERT_EQ(QxPlay_PlaySound(port.port()), 1);
    ASSERT_EQ(QxPlay_SetVolume(port.port(), 10000), 1);
    ASSERT_TRUE(port.Play());
    const Clock::time_point start = Clock::now();
    for (size_t i = 0; i < packets.size(); ++i) {
        // A live camera sends each packet when it is due; a file is pushed at once.
        if (c.mode == 0)
            std::this_thread::sleep_until(start + std::chrono::microseconds(packets[i].header.pts));
        std::vector<qx::kit::Packet> one = {packets[i]};
        if (i + 1 == packets.size() && c.mode != 0)
            ASSERT_TRUE(port.Give(WithEndMarker(qx::kit::Serialize(one))));
        else
            ASSERT_TRUE(port.Give(qx::kit::Serialize(one)));
    }
    ASSERT_TRUE(port.shown().WaitFor(frames - 1, std::chrono::seconds(20)));
    // The last click's sound waits in the player's queue for up to a third of a second.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    qx::audio::WavFileSink* sink = m_sink.load();
    ASSERT_NE(sink, nullptr);
    const Clock::time_point heardFrom = sink->started();
    ASSERT_EQ(QxPlay_StopSound(port.port()), 1);

    std::vector<Clock::time_point> flashes;
    for (const RenderRecord::Shown& shown : port.shown().Pictures()) {
        const double mean = std::accumulate(shown.y.begin(), shown.y.end(), 0.0) /
                            static_cast<double>(shown.y.size());
        if (mean > 200)
            flashes.push_back(shown.at);
    }
    int bits = 0;
    const std::vector<int> samples = ReadWav(m_path, &bits);
    EXPECT_GT(samples.size(), 8000u);
    if (!kTimed)
        return;
    const std::vector<size_t> clicks = ClickOnsets(samples, bits == 8 ? 60 : 15000);
    ASSERT_GE(flashes.size(), 3u);
    ASSERT_GE(clicks.size(), 3u) << samples.size() << " samples";

    // A file's sound starts a player queue into the stream (the first click is
    // skipped); a live port starves for a moment while its picture cache fills.
    const size_t steady = c.mode == 0 ? 1 : 0;
    EXPECT_EQ(clicks.size(), c.mode == 0 ? 4u : 3u);
    // The sound runs at its own rate: whole seconds from click to click.
    for (size_t i = steady + 1; i < clicks.size(); ++i)
        EXPECT_NEAR(static_cast<double>(clicks[i] - clicks[i - 1]), 8000.0, 160.0) << i;
    // Between the clicks a 440 Hz tone: 880 zero crossings a second.
    int crossings = 0;
    const size_t from = clicks[steady];
    for (size_t i = from + 800; i < from + 7200; ++i)
        crossings += (samples[i - 1] < 0) != (samples[i] < 0) ? 1 : 0;
    EXPECT_NEAR(crossings, 880 * 0.8, 20);

    double worst = 0;
    double sum = 0;
    int pairs = 0;
    for (size_t i = steady; i < clicks.size(); ++i) {
        const size_t click = clicks[i];
        const Clock::time_point heard =
            heardFrom + std::chrono::microseconds(static_cast<int64_t>(click) * 1000000 / 8000);
        double nearest = 1e9;
        for (const Clock::time_point& flash : flashes) {
            const double ms = std::chrono::duration<double, std::milli>(heard - flash).count();
            if (std::abs(ms) < std::abs(nearest))
                nearest = ms;
        }
        if (std::abs(nearest) > 500)
            continue;
        sum += nearest;
        worst = std::max(worst, std::abs(nearest));
        ++pairs;
    }
    ASSERT_GE(pairs, 2);
    const double mean = sum / pairs;
    std::printf(
        "[ A/V ] mode %d kind %d: click heard %+.1f ms after its flash on average, worst "
        "%.1f ms, %d pairs\n",
        c.mode, static_cast<int>(c.kind), mean, worst, pairs);
    RecordProperty("av_offset_mean_ms", std::to_string(mean));
    RecordProperty("av_offset_worst_ms", std::to_string(worst));
    if (c.mode == 1) {
        // The play loop corrects once the clocks are two frame intervals apart.
        EXPECT_LE(worst, 80.0 + 20.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, Sound,
                         testing::Values(Case{1, qx::kit::kAudioALaw}, Case{1, qx::kit::kAudioPcm8},
                                         Case{1, qx::kit::kAudioMuLaw},
                                         Case{0, qx::kit::kAudioALaw}),
                         CaseName);

}  // namespace
