// Many live ports at real time, as a recorder client watching its cameras: every port
// is pushed a CIF stream at 25 pictures per second (open mode 0, no jitter buffer) and
// shows it headless. Reports, per port count, the share of late pictures (shown more
// than two picture intervals after their packet arrived, or never), the CPU used, the
// threads and the resident memory per port. The first second is the ports' start
// (decoders and renderers made, all at once) and counts for none of these. The
// ports' key pictures are spread over the two-second GOP, as cameras switched on at
// different times send them; --in-step puts them all in the same interval, the worst
// case. With --find it looks for the largest count that holds with at most 1% late
// pictures, and sets it beside the ceiling of bare libavcodec: the most copies of the
// same stream, each with its own single-threaded decoder as a port has, that every
// core decoding in turn as fast as it goes keeps at 25 pictures per second, measured
// between the library's runs. It also prints the rate of one decoder per core, whose
// pictures stay in its cache: no count of ports reaches that rate, not even bare.
//
//   port_scale [--ports N] [--seconds S] [--find] [--in-step]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "qxplaylib.h"
#include "render/RendererChoice.h"
#include "streamkit/StreamKit.h"
#include "support/PlaybackHarness.h"
#include "support/ProcessStatus.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int kFps = 25;
constexpr auto kInterval = std::chrono::milliseconds(1000 / kFps);
constexpr auto kLateAfter = 2 * kInterval;
constexpr int kFeeders = 4;
// Pictures pushed in the first second are shown but not judged.
constexpr size_t kWarmUpPictures = kFps;

// When each port's pictures were shown, by the counter drawn into each picture; the
// window id names the port. A picture cut away by the latency control is never shown,
// and the ones after it are judged by their own times. A lock per port, as a host's
// renderers would have: one for all would be the host's own contention, not the
// library's.
class ShownLog {
  public:
    explicit ShownLog(int ports) {
        for (int p = 0; p < ports; ++p)
            m_ports.push_back(std::make_unique<Port>());
    }
    void Note(QxWindow window, int64_t counter) {
        const size_t port = static_cast<size_t>(window) - 1;
        if (port >= m_ports.size() || counter < 0 || counter > kMaxCounter)
            return;
        Port& log = *m_ports[port];
        std::lock_guard<std::mutex> lock(log.mutex);
        const size_t k = static_cast<size_t>(counter);
        if (log.shown.size() <= k)
            log.shown.resize(k + 1);
        log.shown[k] = Clock::now();
    }
    // Indexed by picture; a default time for one never shown.
    std::vector<Clock::time_point> Of(int port) {
        Port& log = *m_ports[static_cast<size_t>(port)];
        std::lock_guard<std::mutex> lock(log.mutex);
        return log.shown;
    }

  private:
    // Far beyond any run's pictures: a counter read wrong is not a picture.
    static constexpr int64_t kMaxCounter = 1'000'000;
    struct Port {
        std::mutex mutex;
        std::vector<Clock::time_point> shown;
    };
    std::vector<std::unique_ptr<Port>> m_ports;
};

class LoggingRenderer : public video_render {
  public:
    explicit LoggingRenderer(ShownLog& log) : m_log(log) {}
    bool Init(QxWindow, int width, int height) override { return width > 0 && height > 0; }
    bool Render(unsigned char* planes[3], const int* strides, int width, int height,
                QxWindow window, const RenderPoint*, const RenderPoint*) override {
        m_log.Note(window, qx::kit::ReadCounter(planes[0], strides[0], width, height));
        return true;
    }
    void Close() override {}
    void SetText(const char*, int32_t, bool) override {}
    void GetSize(int32_t& height, int32_t& width) override { height = width = 0; }

  private:
    ShownLog& m_log;
};

// Seconds the hypervisor gave this machine's cores to other guests, from /proc/stat;
// while they are taken away nothing here runs, however light the load.
double StolenSeconds() {
    std::FILE* stat = std::fopen("/proc/stat", "r");
    if (stat == nullptr)
        return 0;
    unsigned long long user, nice, system, idle, iowait, irq, softirq, steal = 0;
    const int n = std::fscanf(stat, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &user, &nice,
                              &system, &idle, &iowait, &irq, &softirq, &steal);
    std::fclose(stat);
    return n == 8 ? static_cast<double>(steal) / static_cast<double>(sysconf(_SC_CLK_TCK)) : 0;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Result {
    int ports = 0;
    int64_t pictures = 0;
    int64_t late = 0;
    int64_t neverShown = 0;
    double p99LatencyMs = 0;
    double cpuPercentOfMachine = 0;
    double stolenPercentOfMachine = 0;
    long threads = 0;
    double rssKbPerPort = 0;
    double medianLatencyMs = 0;
    double latePercent() const { return pictures > 0 ? 100.0 * late / pictures : 0; }
};

// Pictures from one key picture to the next in the stream.
constexpr int kGop = 2 * kFps;

// Cameras switched on at different times have their key pictures at different
// moments: port p of `ports` starts this many pictures late. In step, every port's key
// pictures come within the same interval.
size_t Phase(int port, int ports, bool inStep) {
    return inStep ? 0 : static_cast<size_t>(port * kGop / ports);
}

Result Run(int ports, const std::vector<Bytes>& packets, bool inStep) {
    ShownLog log(ports);
    qx::render::SetRendererFactory([&log] { return std::make_unique<LoggingRenderer>(log); });
    QxPlay_Init();
    const long rssBefore = StatusField("VmRSS:");
    std::vector<int32_t> opened(static_cast<size_t>(ports), -1);
    for (int p = 0; p < ports; ++p) {
        QxPlay_GetPort(&opened[p]);
        QxPlay_SetStreamOpenMode(opened[p], 0);
        QxPlay_SetCacheTime(opened[p], 0);
        QxPlay_Play(opened[p], static_cast<QxWindow>(p + 1));
    }
    std::vector<size_t> phase(static_cast<size_t>(ports), 0);
    for (int p = 0; p < ports; ++p)
        phase[static_cast<size_t>(p)] = Phase(p, ports, inStep);
    const size_t allStarted = *std::max_element(phase.begin(), phase.end()) + kWarmUpPictures;
    // Each port's pictures, when they went in.
    std::vector<std::vector<Clock::time_point>> pushed(static_cast<size_t>(ports));
    // The host's receive buffer of each port, reused as a network layer would.
    std::vector<Bytes> received(static_cast<size_t>(ports));
    const Clock::time_point start = Clock::now() + std::chrono::milliseconds(200);
    // CPU is measured while every port is pushing and past its start.
    double cpu0 = 0;
    double stolen0 = 0;
    Clock::time_point wall0;
    std::thread sampler([&] {
        std::this_thread::sleep_until(start + allStarted * kInterval);
        cpu0 = CpuSeconds();
        stolen0 = StolenSeconds();
        wall0 = Clock::now();
    });
    std::vector<std::thread> feeders;
    for (int f = 0; f < kFeeders; ++f) {
        feeders.emplace_back([&, f] {
            for (size_t slot = 0; slot < packets.size(); ++slot) {
                for (int p = f; p < ports; p += kFeeders) {
                    if (slot < phase[static_cast<size_t>(p)])
                        continue;
                    const size_t k = slot - phase[static_cast<size_t>(p)];
                    // Cameras are not in step: each port's pictures are spread over
                    // the interval.
                    const auto due = start + slot * kInterval + kInterval * p / ports;
                    std::this_thread::sleep_until(due);
                    Bytes& buffer = received[static_cast<size_t>(p)];
                    buffer.assign(packets[k].begin(), packets[k].end());
                    pushed[static_cast<size_t>(p)].push_back(Clock::now());
                    QxPlay_InputData(opened[p], buffer.data(),
                                     static_cast<uint32_t>(buffer.size()));
                }
            }
        });
    }
    for (std::thread& feeder : feeders)
        feeder.join();
    sampler.join();
    const double cpu1 = CpuSeconds();
    const double stolen1 = StolenSeconds();
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    std::this_thread::sleep_for(4 * kInterval);
    Result result;
    result.ports = ports;
    const double coreSeconds = wall * std::thread::hardware_concurrency();
    result.cpuPercentOfMachine = 100.0 * (cpu1 - cpu0) / coreSeconds;
    result.stolenPercentOfMachine = 100.0 * (stolen1 - stolen0) / coreSeconds;
    result.threads = StatusField("Threads:");
    result.rssKbPerPort = static_cast<double>(StatusField("VmRSS:") - rssBefore) / ports;
    std::vector<double> latencies;
    for (int p = 0; p < ports; ++p) {
        const std::vector<Clock::time_point> shown = log.Of(p);
        const std::vector<Clock::time_point>& in = pushed[static_cast<size_t>(p)];
        for (size_t k = kWarmUpPictures; k < in.size(); ++k) {
            ++result.pictures;
            const bool wasShown = k < shown.size() && shown[k] != Clock::time_point{};
            if (!wasShown) {
                ++result.late;
                ++result.neverShown;
                continue;
            }
            if (shown[k] - in[k] > kLateAfter)
                ++result.late;
            latencies.push_back(
                std::chrono::duration<double, std::milli>(shown[k] - in[k]).count());
        }
    }
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        result.medianLatencyMs = latencies[latencies.size() / 2];
        result.p99LatencyMs = latencies[latencies.size() * 99 / 100];
    }
    for (int32_t port : opened) {
        QxPlay_Stop(port);
        QxPlay_FreePort(port);
    }
    QxPlay_Destory();
    qx::render::SetRendererFactory(nullptr);
    return result;
}

// Pictures per second bare libavcodec decodes from `streams` copies of the stream, each
// with its own single-threaded decoder as a port has, shared out over every core and
// decoded one picture each in turn, as fast as it goes. Decoder d first decodes the
// stream up to the phase port d starts at. Each decoder plays the stream over and over.
double BarePicturesPerSecond(const std::vector<qx::kit::Packet>& packets, int streams, bool inStep,
                             double seconds) {
    std::vector<size_t> video;
    for (size_t i = 0; i < packets.size(); ++i) {
        if (qx::kit::IsVideoKind(packets[i].header.knd))
            video.push_back(i);
    }
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    std::atomic<int64_t> pictures{0};
    // Timing starts when every core has its decoders at their phases.
    std::mutex startLock;
    std::condition_variable started;
    unsigned ready = 0;
    bool go = false;
    Clock::time_point start;
    Clock::time_point end;
    std::vector<std::thread> threads;
    for (unsigned c = 0; c < cores; ++c) {
        threads.emplace_back([&, c] {
            const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_H264);
            AVPacket* packet = av_packet_alloc();
            AVFrame* frame = av_frame_alloc();
            struct Stream {
                AVCodecContext* context;
                size_t next;
            };
            const auto decodeNext = [&](Stream& s) {
                const qx::kit::Packet& p = packets[video[s.next]];
                s.next = (s.next + 1) % video.size();
                av_new_packet(packet, static_cast<int>(p.payload.size()));
                std::copy(p.payload.begin(), p.payload.end(), packet->data);
                avcodec_send_packet(s.context, packet);
                av_packet_unref(packet);
                int64_t n = 0;
                while (avcodec_receive_frame(s.context, frame) == 0)
                    ++n;
                return n;
            };
            std::vector<Stream> mine;
            for (int d = static_cast<int>(c); d < streams; d += static_cast<int>(cores)) {
                AVCodecContext* context = avcodec_alloc_context3(decoder);
                context->thread_count = 1;
                avcodec_open2(context, decoder, nullptr);
                mine.push_back({context, 0});
                const size_t phase = Phase(d, streams, inStep);
                while (mine.back().next < phase)
                    decodeNext(mine.back());
            }
            {
                std::unique_lock<std::mutex> lock(startLock);
                ++ready;
                started.notify_all();
                started.wait(lock, [&] { return go; });
            }
            int64_t n = 0;
            while (Clock::now() < end) {
                for (Stream& s : mine)
                    n += decodeNext(s);
            }
            pictures += n;
            for (Stream& s : mine)
                avcodec_free_context(&s.context);
            av_frame_free(&frame);
            av_packet_free(&packet);
        });
    }
    {
        std::unique_lock<std::mutex> lock(startLock);
        started.wait(lock, [&] { return ready == cores; });
        start = Clock::now();
        end = start + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        go = true;
        started.notify_all();
    }
    for (std::thread& t : threads)
        t.join();
    return static_cast<double>(pictures.load()) /
           std::chrono::duration<double>(Clock::now() - start).count();
}

void Print(const Result& r) {
    std::printf(
        "ports %d: late %.2f%% of %lld pictures, median latency %.1f ms, CPU %.0f%% of "
        "the machine, %ld threads, %.0f kB resident per port; never shown %lld, 99th "
        "percentile latency %.1f ms, %.0f%% of the machine stolen by the hypervisor\n",
        r.ports, r.latePercent(), static_cast<long long>(r.pictures), r.medianLatencyMs,
        r.cpuPercentOfMachine, r.threads, r.rssKbPerPort, static_cast<long long>(r.neverShown),
        r.p99LatencyMs, r.stolenPercentOfMachine);
    std::fflush(stdout);
}

// Bare libavcodec's rate with the given decoders, printed with the share of the
// machine stolen meanwhile.
double MeasureBare(const std::vector<qx::kit::Packet>& stream, int streams, bool inStep,
                   double seconds, const char* when) {
    const double stolen0 = StolenSeconds();
    const Clock::time_point start = Clock::now();
    const double rate = BarePicturesPerSecond(stream, streams, inStep, seconds);
    const double coreSeconds = std::chrono::duration<double>(Clock::now() - start).count() *
                               std::thread::hardware_concurrency();
    std::printf(
        "bare libavcodec %s, %d decoders: %.0f pictures/s on all cores, %.0f ports, %.0f%% of "
        "the machine stolen by the hypervisor\n",
        when, streams, rate, rate / kFps, 100.0 * (StolenSeconds() - stolen0) / coreSeconds);
    std::fflush(stdout);
    return rate;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct BareCeiling {
    // One decoder per core, its pictures hot in the core's cache: no count of ports
    // decodes at that rate.
    double hot = 0;
    // The ports bare libavcodec keeps up with, one decoder each: N decoders together
    // decode N x 25 pictures per second. Each port's pictures leave the cache before
    // its next one comes, as they do in the library.
    double ports = 0;
};

// The rate falls slowly as decoders are added, so starting from the hot rate a few
// rounds of "as many decoders as the last rate keeps up with" settle on the count.
BareCeiling MeasureBareCeiling(const std::vector<qx::kit::Packet>& stream, bool inStep,
                               const char* when) {
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    BareCeiling ceiling;
    ceiling.hot = MeasureBare(stream, cores, inStep, 3.0, when) / kFps;
    int count = static_cast<int>(ceiling.hot + 0.5);
    for (int round = 0; round < 3; ++round) {
        ceiling.ports = MeasureBare(stream, count, inStep, 4.0, when) / kFps;
        if (std::abs(ceiling.ports - count) <= 0.02 * count)
            break;
        count = static_cast<int>(ceiling.ports + 0.5);
    }
    return ceiling;
}

}  // namespace

int main(int argc, char** argv) {
    int ports = 200;
    double seconds = 10;
    bool find = false;
    bool inStep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--ports" && i + 1 < argc)
            ports = std::max(1, std::min(200, std::atoi(argv[++i])));
        else if (arg == "--seconds" && i + 1 < argc)
            seconds = std::max(1.0, std::atof(argv[++i]));
        else if (arg == "--find")
            find = true;
        else if (arg == "--in-step")
            inStep = true;
        else {
            std::fprintf(stderr,
                         "usage: port_scale [--ports N] [--seconds S] [--find] [--in-step]\n");
            return 2;
        }
    }
    qx::kit::StreamOptions options;
    options.width = 352;
    options.height = 288;
    options.fps = kFps;
    // The staggered starts take a GOP, the first second of each port is its start:
    // what is measured comes after both.
    options.seconds = std::max(seconds, 5.0);
    options.gop = kGop;
    const std::vector<qx::kit::Packet> stream = qx::kit::StreamWriter::MakePackets(options);
    const std::vector<Bytes> packets = ChunksAtMarkers(qx::kit::Serialize(stream));
    std::printf("CIF H.264 at %d pictures per second, %.0f s per run, %u cores, key pictures %s\n",
                kFps, options.seconds, std::thread::hardware_concurrency(),
                inStep ? "in step" : "spread over the GOP");
    if (!find) {
        Print(Run(ports, packets, inStep));
        return 0;
    }
    const BareCeiling bareBefore = MeasureBareCeiling(stream, inStep, "before the search");
    // The machine's speed drifts by up to a fifth within minutes (other guests share
    // its cores). Bare libavcodec is measured again after each of the library's runs,
    // with as many decoders as it last kept up with, and its ceiling is the median of
    // all these: the speed of the machine while the library was measured, neither its
    // fastest nor its slowest moment.
    std::vector<double> bare{bareBefore.ports};
    const auto measureBare = [&] {
        const int count = static_cast<int>(Median(bare) + 0.5);
        bare.push_back(MeasureBare(stream, count, inStep, 3.0, "between the runs") / kFps);
    };
    // A count holds when two of at most three runs keep to 1% late.
    const auto probe = [&](int count, Result* kept) {
        int held = 0;
        int failed = 0;
        while (held < 2 && failed < 2) {
            const Result r = Run(count, packets, inStep);
            Print(r);
            measureBare();
            if (r.latePercent() <= 1.0) {
                ++held;
                *kept = r;
            } else {
                ++failed;
            }
        }
        return held == 2;
    };
    Result asked;
    const bool askedHolds = probe(ports, &asked);
    int holds = 0;
    int fails = ports;
    Result best;
    if (askedHolds) {
        holds = ports;
        best = asked;
    }
    while (fails - holds > 1) {
        const int middle = holds == 0 && fails > 16 ? std::max(1, fails / 4) : (holds + fails) / 2;
        Result r;
        if (probe(middle, &r)) {
            holds = middle;
            best = r;
        } else {
            fails = middle;
        }
    }
    const BareCeiling bareAfter = MeasureBareCeiling(stream, inStep, "after the search");
    bare.push_back(bareAfter.ports);
    const double bareCeiling = Median(bare);
    // No count of ports reaches the hot rate: its faster measurement is kept.
    const double hotCeiling = std::max(bareBefore.hot, bareAfter.hot);
    std::printf(
        "bare libavcodec over the search: median %.0f ports of %zu measurements, %.0f to %.0f\n",
        bareCeiling, bare.size(), *std::min_element(bare.begin(), bare.end()),
        *std::max_element(bare.begin(), bare.end()));
    std::printf(
        "ceiling: %d ports (%.2f of bare libavcodec's %.0f; late %.2f%%, CPU %.0f%% of the "
        "machine, %.0f%% stolen)\n",
        holds, holds / bareCeiling, bareCeiling, best.latePercent(), best.cpuPercentOfMachine,
        best.stolenPercentOfMachine);
    std::printf(
        "one decoder per core, hot in its cache: %.0f pictures/s, %.0f ports (the library "
        "holds %.2f of it, bare libavcodec with a decoder per port %.2f)\n",
        hotCeiling * kFps, hotCeiling, holds / hotCeiling, bareCeiling / hotCeiling);
    return 0;
}
