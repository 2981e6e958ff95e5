// Process CPU time of playing ports that receive nothing: sixteen against one. Workers
// that sleep on their data cost next to nothing; ones that poll cost per port.
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <thread>
#include <vector>

#include "qxplaylib.h"

namespace {

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
    const auto wall0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(window);
    const double cpu = ProcessCpuSeconds() - cpu0;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    for (int32_t port : opened)
        QxPlay_FreePort(port);
    QxPlay_Destory();
    return cpu / wall;
}

void IdlePorts(benchmark::State& state) {
    double one = 0;
    double sixteen = 0;
    for (auto _ : state) {
        one += IdleLoad(1, std::chrono::milliseconds(1500));
        sixteen += IdleLoad(16, std::chrono::milliseconds(1500));
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["cpu_1_port_pct"] = 100 * one / n;
    state.counters["cpu_16_ports_pct"] = 100 * sixteen / n;
    state.counters["ratio_16_to_1"] = sixteen / one;
}

BENCHMARK(IdlePorts)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
