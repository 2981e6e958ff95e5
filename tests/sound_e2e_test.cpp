// Sound end to end through the C interface: a written stream with a tone, a click
// every second and a flash in the picture at the same time stamps, played into the
// WAV sink and into an ALSA device that behaves like hardware (it starts only at its
// start threshold and consumes at the real rate). The sound must come out at the
// right rate, and each click must be heard when its flash is shown, also after a
// pause.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <thread>
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
// AddressSanitizer's slower workers make the play loop late by a few milliseconds more.
#ifdef __SANITIZE_ADDRESS__
constexpr double kSlowBuildMs = 15.0;
#else
constexpr double kSlowBuildMs = 0.0;
#endif

using Clock = std::chrono::steady_clock;

enum class Output { kWavFile, kDevice };

struct Case {
    int mode;
    qx::kit::AudioKind kind;
    Output output = Output::kWavFile;
    bool pause = false;
};

std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return "mode" + std::to_string(info.param.mode) + "_kind" +
           std::to_string(static_cast<int>(info.param.kind)) +
           (info.param.output == Output::kDevice ? "_device" : "_wav") +
           (info.param.pause ? "_pause" : "");
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

// A WAV sink that tells when it opened.
class StartNotingSink : public qx::audio::WavFileSink {
  public:
    StartNotingSink(std::string path, std::atomic<int64_t>* started)
        : WavFileSink(std::move(path)), m_started(started) {}
    bool Open(const qx::audio::PcmFormat& format) override {
        const bool opened = WavFileSink::Open(format);
        m_started->store(started().time_since_epoch() / std::chrono::nanoseconds(1));
        return opened;
    }

  private:
    std::atomic<int64_t>* m_started;
};

class Sound : public testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        const std::string base = testing::TempDir() + "/sound-" + CaseName({GetParam(), 0});
        m_path = base + ".wav";
        m_stream = base + ".qx";
        m_log = base + ".clicks";
        std::remove(m_log.c_str());
        if (GetParam().output == Output::kDevice) {
            // alsa-lib reads its configuration once, at the first open in the process.
            const std::string conf = base + ".asoundrc";
            std::ofstream(conf) << "pcm_type.qxrealrate { lib \"" QX_REALRATE_PLUGIN "\" }\n"
                                << "pcm.!default { type qxrealrate }\n";
            ::setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
            ::setenv("QX_REALRATE_LOG", m_log.c_str(), 1);
            return;
        }
        qx::audio::SetSinkFactory([this]() -> std::unique_ptr<qx::audio::AudioSink> {
            return std::make_unique<StartNotingSink>(m_path, &m_started);
        });
    }
    void TearDown() override {
        qx::audio::SetSinkFactory(nullptr);
        std::remove(m_path.c_str());
        std::remove(m_stream.c_str());
        std::remove(m_log.c_str());
    }

    // When each click left the loudspeaker, and how much sound was played in all.
    std::vector<Clock::time_point> HeardClicks(size_t* samplesPlayed) {
        std::vector<Clock::time_point> heard;
        if (GetParam().output == Output::kDevice) {
            std::ifstream in(m_log);
            std::string line;
            while (std::getline(in, line)) {
                if (line.rfind("played ", 0) == 0)
                    *samplesPlayed = std::stoull(line.substr(7));
                else
                    heard.emplace_back(std::chrono::microseconds(std::stoll(line)));
            }
            return heard;
        }
        int bits = 0;
        const std::vector<int> samples = ReadWav(m_path, &bits);
        *samplesPlayed = samples.size();
        const int64_t started = m_started.load();
        if (started == 0)
            return heard;
        for (size_t click : ClickOnsets(samples, bits == 8 ? 60 : 15000))
            heard.push_back(Clock::time_point(std::chrono::nanoseconds(started)) +
                            std::chrono::microseconds(static_cast<int64_t>(click) * 125));
        if (kTimed)
            CheckRateAndTone(samples, bits);
        return heard;
    }

    static void CheckRateAndTone(const std::vector<int>& samples, int bits) {
        const std::vector<size_t> clicks = ClickOnsets(samples, bits == 8 ? 60 : 15000);
        ASSERT_GE(clicks.size(), 3u) << samples.size() << " samples";
        // The sound runs at its own rate: whole seconds from click to click, once the
        // first second (a live port starves while its cache fills) is past.
        for (size_t i = 2; i < clicks.size(); ++i)
            EXPECT_NEAR(static_cast<double>(clicks[i] - clicks[i - 1]), 8000.0, 160.0) << i;
        // Between the clicks a 440 Hz tone: 880 zero crossings a second.
        int crossings = 0;
        const size_t from = clicks[1];
        for (size_t i = from + 800; i < from + 7200 && i < samples.size(); ++i)
            crossings += (samples[i - 1] < 0) != (samples[i] < 0) ? 1 : 0;
        EXPECT_NEAR(crossings, 880 * 0.8, 20);
    }

    std::string m_path;
    std::string m_stream;
    std::string m_log;
    // When the sink last opened, in steady-clock nanoseconds: the sink itself is gone
    // once its port is freed.
    std::atomic<int64_t> m_started{0};
};

TEST_P(Sound, ClicksAreHeardWithTheirFlashes) {
    const Case c = GetParam();
    qx::kit::StreamOptions options;
    options.width = 160;
    options.height = 120;
    options.seconds = c.pause ? 5 : 4;
    options.audioKind = c.kind;
    const std::vector<qx::kit::Packet> packets = qx::kit::StreamWriter::MakePackets(options);
    const int frames = qx::kit::FrameCount(options);

    PlaybackPort port(c.mode);
    ASSERT_EQ(QxPlay_PlaySound(port.port()), 1);
    ASSERT_EQ(QxPlay_SetVolume(port.port(), 10000), 1);
    if (c.mode == 2) {
        const std::vector<uint8_t> bytes = qx::kit::Serialize(packets);
        std::ofstream(m_stream, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        ASSERT_EQ(QxPlay_OpenFile(port.port(), m_stream.c_str()), 1);
    }
    ASSERT_TRUE(port.Play());
    Clock::time_point resumed{};
    std::thread pauser;
    std::atomic<bool> pausedNow{false};
    std::atomic<Clock::rep> resumedAt{0};
    if (c.pause) {
        // Paused for two seconds in the middle; the sound must catch up with it.
        pauser = std::thread([&] {
            port.shown().WaitFor(35, std::chrono::seconds(20));
            pausedNow = true;
            QxPlay_Pause(port.port(), 1);
            std::this_thread::sleep_for(std::chrono::seconds(2));
            QxPlay_Pause(port.port(), 0);
            resumed = Clock::now();
            resumedAt = resumed.time_since_epoch().count();
            pausedNow = false;
        });
    }
    // What the port says of the offset, as a host reads it while the pictures play
    // on, away from the start and from a pause.
    std::vector<int> reported;
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        while (sampling) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            QxPortStats stats{};
            stats.size = sizeof stats;
            const bool settled =
                resumedAt.load() == 0 ||
                Clock::now().time_since_epoch().count() >
                    resumedAt.load() + std::chrono::nanoseconds(std::chrono::seconds(1)).count();
            if (QxPlay_GetPortStats(port.port(), &stats) == 1 && stats.soundOn &&
                stats.picturesShown > 30 && stats.picturesShown < frames - 10 && !pausedNow &&
                settled)
                reported.push_back(stats.avOffsetMs);
        }
    });
    const Clock::time_point start = Clock::now();
    for (size_t i = 0; i < packets.size() && c.mode != 2; ++i) {
        // A live camera sends each packet when it is due; a stream file is pushed at once.
        if (c.mode == 0)
            std::this_thread::sleep_until(start + std::chrono::microseconds(packets[i].header.pts));
        ASSERT_TRUE(port.Give(qx::kit::Serialize({packets[i]})));
    }
    if (c.mode != 2) {
        ASSERT_EQ(QxPlay_SetFileEndMsg(port.port(), 0, 0), 1);
    }
    ASSERT_TRUE(port.shown().WaitFor(frames, std::chrono::seconds(30)));
    if (pauser.joinable())
        pauser.join();
    sampling = false;
    sampler.join();
    // The last click's sound waits in the player's queue for up to a third of a second.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    ASSERT_EQ(QxPlay_StopSound(port.port()), 1);
    ASSERT_EQ(QxPlay_Stop(port.port()), 1);

    std::vector<Clock::time_point> flashes;
    for (const RenderRecord::Shown& shown : port.shown().Pictures()) {
        const double mean = std::accumulate(shown.y.begin(), shown.y.end(), 0.0) /
                            static_cast<double>(shown.y.size());
        if (mean > 200)
            flashes.push_back(shown.at);
    }
    size_t played = 0;
    const std::vector<Clock::time_point> clicks = HeardClicks(&played);
    // A build too slow to keep time still has to play a second of the sound.
    EXPECT_GT(played, kTimed ? 8000u * (options.seconds - 1) : 8000u) << "samples played";
    if (!kTimed)
        return;
    ASSERT_GE(flashes.size(), 3u);
    ASSERT_GE(clicks.size(), 3u);

    double worst = 0;
    double sum = 0;
    int pairs = 0;
    for (const Clock::time_point& heard : clicks) {
        // A live port starves for a moment while its picture cache fills; a resumed
        // port has a second to catch up.
        if (c.mode == 0 && heard < flashes.front() + std::chrono::milliseconds(500))
            continue;
        if (c.pause && heard < resumed + std::chrono::seconds(1))
            continue;
        double nearest = 1e9;
        for (const Clock::time_point& flash : flashes) {
            const double ms = std::chrono::duration<double, std::milli>(heard - flash).count();
            if (std::abs(ms) < std::abs(nearest))
                nearest = ms;
        }
        sum += nearest;
        worst = std::max(worst, std::abs(nearest));
        ++pairs;
    }
    ASSERT_GE(pairs, c.pause ? 1 : 2);
    const double mean = sum / pairs;
    std::printf(
        "[ A/V ] %s: click heard %+.1f ms after its flash on average, worst %.1f ms, %d pairs\n",
        CaseName({c, 0}).c_str(), mean, worst, pairs);
    RecordProperty("av_offset_mean_ms", std::to_string(mean));
    RecordProperty("av_offset_worst_ms", std::to_string(worst));
    // The play loop corrects once the clocks are a picture interval apart.
    if (c.mode != 0) {
        EXPECT_LE(worst, 40.0 + kSlowBuildMs);
        // The figure a host shows (qxplay's "A/V") is the offset that is heard.
        ASSERT_FALSE(reported.empty());
        std::nth_element(reported.begin(), reported.begin() + reported.size() / 2, reported.end());
        const int median = reported[reported.size() / 2];
        std::printf("[ A/V ] %s: the port reports %+d ms\n", CaseName({c, 0}).c_str(), median);
        EXPECT_NEAR(median, mean, 15.0 + kSlowBuildMs);
    }
}

using qx::kit::kAudioALaw;
using qx::kit::kAudioMuLaw;
using qx::kit::kAudioPcm8;

INSTANTIATE_TEST_SUITE_P(
    Streams, Sound,
    testing::Values(Case{1, kAudioALaw}, Case{1, kAudioPcm8}, Case{1, kAudioMuLaw},
                    Case{0, kAudioALaw}, Case{2, kAudioMuLaw}, Case{0, kAudioALaw, Output::kDevice},
                    Case{1, kAudioALaw, Output::kDevice}, Case{2, kAudioALaw, Output::kDevice},
                    Case{1, kAudioMuLaw, Output::kDevice, true},
                    Case{2, kAudioALaw, Output::kDevice, true},
                    Case{2, kAudioPcm8, Output::kWavFile, true}, Case{2, kAudioPcm8}),
    CaseName);

}  // namespace
