// 1080p YUV 4:2:0 to RGB32 and RGB565: our converters against libswscale converting
// the same planes in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <random>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

#include "render/PixelConvert.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kRounds = 60;

struct Picture {
    std::vector<uint8_t> y = std::vector<uint8_t>(kWidth * kHeight);
    std::vector<uint8_t> u = std::vector<uint8_t>(kWidth * kHeight / 4);
    std::vector<uint8_t> v = std::vector<uint8_t>(kWidth * kHeight / 4);
    Picture() {
        std::mt19937 rng(1);
        for (auto* plane : {&y, &u, &v})
            for (auto& s : *plane)
                s = static_cast<uint8_t>(rng());
    }
};

double Seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRounds; ++i)
        work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Convert(benchmark::State& state, AVPixelFormat format) {
    static const Picture picture;
    const int bytes = format == AV_PIX_FMT_BGRA ? 4 : 2;
    std::vector<uint8_t> out(static_cast<size_t>(kWidth) * kHeight * bytes);
    SwsContext* sws = sws_getContext(kWidth, kHeight, AV_PIX_FMT_YUV420P, kWidth, kHeight, format,
                                     SWS_POINT, nullptr, nullptr, nullptr);
    const uint8_t* planes[3] = {picture.y.data(), picture.u.data(), picture.v.data()};
    const int strides[3] = {kWidth, kWidth / 2, kWidth / 2};
    uint8_t* dst[1] = {out.data()};
    const int dstStride[1] = {kWidth * bytes};
    double ours = 0;
    double theirs = 0;
    for (auto _ : state) {
        theirs += Seconds([&] { sws_scale(sws, planes, strides, 0, kHeight, dst, dstStride); });
        ours += Seconds([&] {
            if (bytes == 4) {
                qx::YuvToRgb32(planes[0], kWidth, planes[1], kWidth / 2, planes[2], kWidth / 2,
                               qx::RgbTarget{out.data(), kWidth * 4, kWidth, kHeight});
            } else {
                qx::YuvToRgb565(planes[0], kWidth, planes[1], kWidth / 2, planes[2], kWidth / 2,
                                qx::RgbTarget{out.data(), kWidth * 2, kWidth, kHeight});
            }
        });
        benchmark::DoNotOptimize(out.data());
    }
    sws_freeContext(sws);
    const double n = static_cast<double>(state.iterations()) * kRounds;
    state.counters["ours_ms"] = 1000 * ours / n;
    state.counters["swscale_ms"] = 1000 * theirs / n;
    state.counters["speed_vs_swscale"] = theirs / ours;
}

BENCHMARK_CAPTURE(Convert, Rgb32_1080p, AV_PIX_FMT_BGRA)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Convert, Rgb565_1080p, AV_PIX_FMT_RGB565LE)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
