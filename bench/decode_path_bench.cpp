// Pictures per second through the whole library (fastest open mode, a renderer that
// only counts) against bare libavcodec decoding the same access units.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "qxplaylib.h"
#include "render/RendererChoice.h"
#include "streamkit/StreamKit.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFrames = 300;

std::atomic<int> g_rendered{0};

class CountingRenderer : public video_render {
  public:
    bool Init(QxWindow, int, int) override { return true; }
    bool Render(unsigned char* [3], const int*, int, int, QxWindow, const RenderPoint*,
                const RenderPoint*) override {
        ++g_rendered;
        return true;
    }
    void Close() override {}
    void SetText(const char*, int32_t, bool) override {}
    void GetSize(int32_t& h, int32_t& w) override { h = w = 0; }
};

struct Stream {
    std::vector<qx::kit::Packet> packets;
    std::vector<uint8_t> bytes;
};

const Stream& StreamFor(qx::kit::Codec codec) {
    static Stream streams[2];
    Stream& s = streams[codec == qx::kit::Codec::H264 ? 0 : 1];
    if (s.packets.empty()) {
        qx::kit::StreamOptions options;
        options.codec = codec;
        options.width = 1280;
        options.height = 720;
        options.frames = kFrames;
        options.gop = 50;
        s.packets = qx::kit::StreamWriter::MakePackets(options);
        s.bytes = qx::kit::Serialize(s.packets);
        qx::kit::Packet end;
        end.header.knd = 99;
        end.header.nal_len = 4;
        end.payload = {0, 0, 0, 0};
        qx::kit::AppendPacket(end, s.bytes);
    }
    return s;
}

// Seconds bare libavcodec takes for every picture, one access unit per packet and one
// decoding thread, as the library decodes.
double ReferenceSeconds(qx::kit::Codec codec, const Stream& s) {
    const AVCodec* decoder =
        avcodec_find_decoder(codec == qx::kit::Codec::H264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
    AVCodecContext* ctx = avcodec_alloc_context3(decoder);
    ctx->thread_count = 1;
    ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    avcodec_open2(ctx, decoder, nullptr);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    int pictures = 0;
    const auto start = Clock::now();
    for (const qx::kit::Packet& p : s.packets) {
        if (!qx::kit::IsVideoKind(p.header.knd))
            continue;
        av_new_packet(packet, static_cast<int>(p.payload.size()));
        std::copy(p.payload.begin(), p.payload.end(), packet->data);
        avcodec_send_packet(ctx, packet);
        av_packet_unref(packet);
        while (avcodec_receive_frame(ctx, frame) == 0)
            ++pictures;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
    return pictures == kFrames ? seconds : -1;
}

double LibrarySeconds(const Stream& s) {
    g_rendered = 0;
    QxPlay_Init();
    int32_t port = -1;
    QxPlay_GetPort(&port);
    QxPlay_SetStreamOpenMode(port, 3);
    QxPlay_Play(port, 1);
    const auto start = Clock::now();
    constexpr size_t kChunk = 64 * 1024;
    for (size_t at = 0; at < s.bytes.size(); at += kChunk) {
        const uint32_t n = static_cast<uint32_t>(std::min(kChunk, s.bytes.size() - at));
        while (QxPlay_InputData(port, const_cast<uint8_t*>(s.bytes.data() + at), n) == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    while (g_rendered.load() < kFrames && Clock::now() - start < std::chrono::seconds(60))
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    QxPlay_FreePort(port);
    QxPlay_Destory();
    return g_rendered.load() == kFrames ? seconds : -1;
}

void DecodePath(benchmark::State& state, qx::kit::Codec codec) {
    const Stream& s = StreamFor(codec);
    qx::render::SetRendererFactory([] { return std::make_unique<CountingRenderer>(); });
    double reference = 0;
    double library = 0;
    for (auto _ : state) {
        reference += ReferenceSeconds(codec, s);
        library += LibrarySeconds(s);
    }
    qx::render::SetRendererFactory(nullptr);
    const double n = static_cast<double>(state.iterations()) * kFrames;
    state.counters["libavcodec_fps"] = n / reference;
    state.counters["library_fps"] = n / library;
    state.counters["ratio"] = reference / library;
}

BENCHMARK_CAPTURE(DecodePath, H264_720p, qx::kit::Codec::H264)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DecodePath, H265_720p, qx::kit::Codec::H265)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
