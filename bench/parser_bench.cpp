// Packet extraction from the source buffer: the session's parser cutting a 720p stream
// into packets by the marker rule, against the least any extractor must do on the same
// bytes (find each marker and copy the packet out).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "session/DDrawSession.h"
#include "streamkit/StreamKit.h"
#include "support/PlaybackHarness.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Pieces of the stream that fit the source buffer, each ending with a marker so that
// its last packet can be cut too.
const std::vector<Bytes>& Pieces() {
    static const std::vector<Bytes> pieces = [] {
        qx::kit::StreamOptions options;
        options.width = 1280;
        options.height = 720;
        options.seconds = 4;
        options.audioKind = qx::kit::kAudioALaw;
        std::vector<Bytes> out;
        Bytes piece;
        for (const Bytes& packet :
             ChunksAtMarkers(qx::kit::Serialize(qx::kit::StreamWriter::MakePackets(options)))) {
            if (piece.size() + packet.size() > qx::kStreamBufferSize / 2) {
                out.push_back(WithEndMarker(piece));
                piece.clear();
            }
            piece.insert(piece.end(), packet.begin(), packet.end());
        }
        out.push_back(WithEndMarker(piece));
        return out;
    }();
    return pieces;
}

int64_t TotalBytes() {
    int64_t total = 0;
    for (const Bytes& piece : Pieces())
        total += static_cast<int64_t>(piece.size());
    return total;
}

void SessionParser(benchmark::State& state) {
    const int64_t total = TotalBytes();
    auto session = std::make_shared<DDrawSession>();
    session->SetOpenMode(1);
    int64_t packets = 0;
    for (auto _ : state) {
        for (const Bytes& piece : Pieces()) {
            session->SetPlayState(qx::kStateNormal);
            session->InputData(piece.data(), static_cast<int>(piece.size()));
            // Stopped, the parser cuts and drops: only the extraction is measured.
            session->SetPlayState(qx::kStateStop);
            while (session->Input().Fill() > static_cast<int>(EndMarker().size()) &&
                   session->ParseStep())
                ++packets;
            session->ResetBuffers();
        }
    }
    state.SetBytesProcessed(state.iterations() * total);
    state.counters["packets"] = static_cast<double>(packets) / state.iterations();
}

void BareExtraction(benchmark::State& state) {
    // The stream is encoded before the clock runs.
    const int64_t total = TotalBytes();
    std::vector<uint8_t> out(qx::kStreamBufferSize);
    for (auto _ : state) {
        for (const Bytes& piece : Pieces()) {
            const uint8_t* at = piece.data();
            const uint8_t* end = piece.data() + piece.size();
            while (at < end) {
                const void* next =
                    memmem(at + 8, static_cast<size_t>(end - at - 8), qx::kMarker, qx::kMarkerSize);
                if (next == nullptr)
                    break;
                const size_t length = static_cast<const uint8_t*>(next) - at;
                std::memcpy(out.data(), at, length);
                benchmark::DoNotOptimize(out.data());
                at = static_cast<const uint8_t*>(next);
            }
        }
    }
    state.SetBytesProcessed(state.iterations() * total);
}

BENCHMARK(BareExtraction)->Unit(benchmark::kMillisecond);
BENCHMARK(SessionParser)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
