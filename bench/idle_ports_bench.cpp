// What a playing port that receives nothing costs, and how long it takes to stop one.
// Idle: process CPU time of many idle ports against one, per port as a share of a
// core. Stop: QxPlay_Stop of an idle port against ending three bare threads that
// sleep on a condition, the least a port with three workers could take.
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "qxplaylib.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kManyPorts = 64;

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// CPU seconds per wall second with the given number of idle playing ports.
double IdleLoad(int ports, std::chrono::milliseconds window) {
    QxPlay_Init();
    std::vector<int32_t> opened;
    for (int i = 0; i < ports; ++i) {
        int32_t port = -1;
        QxPlay_GetPort(&port);
        QxPlay_SetStreamOpenMode(port, i % 2 == 0 ? 0 : 1);
        QxPlay_Play(port, 1);
        opened.push_back(port);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double cpu0 = ProcessCpuSeconds();
    const auto wall0 = Clock::now();
    std::this_thread::sleep_for(window);
    const double cpu = ProcessCpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    for (int32_t port : opened)
        QxPlay_FreePort(port);
    QxPlay_Destory();
    return cpu / wall;
}

void IdlePorts(benchmark::State& state) {
    double one = 0;
    double many = 0;
    for (auto _ : state) {
        one += IdleLoad(1, std::chrono::milliseconds(3000));
        many += IdleLoad(kManyPorts, std::chrono::milliseconds(3000));
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["cpu_1_port_pct"] = 100 * one / n;
    state.counters["cpu_many_ports_pct"] = 100 * many / n;
    state.counters["ports"] = kManyPorts;
    state.counters["cpu_per_port_pct"] = 100 * (many - one) / n / (kManyPorts - 1);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Milliseconds to wake and join three threads that wait on a condition.
double BareThreadsEnd() {
    std::mutex mutex;
    std::condition_variable cv;
    bool stop = false;
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            std::unique_lock<std::mutex> lock(mutex);
            cv.wait(lock, [&] { return stop; });
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto start = Clock::now();
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    cv.notify_all();
    for (std::thread& t : threads)
        t.join();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double StopIdlePort() {
    int32_t port = -1;
    QxPlay_GetPort(&port);
    QxPlay_Play(port, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto start = Clock::now();
    QxPlay_Stop(port);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    QxPlay_FreePort(port);
    return ms;
}

void StopIdle(benchmark::State& state) {
    QxPlay_Init();
    std::vector<double> stops;
    std::vector<double> bare;
    for (auto _ : state) {
        stops.push_back(StopIdlePort());
        bare.push_back(BareThreadsEnd());
    }
    QxPlay_Destory();
    state.counters["stop_ms"] = Median(stops);
    state.counters["bare_ms"] = Median(bare);
    state.counters["ratio"] = Median(stops) / Median(bare);
}

BENCHMARK(IdlePorts)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(StopIdle)->Iterations(50)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
