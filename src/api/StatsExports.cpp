// Per-port statistics for hosts.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "api/PortTable.h"
#include "qxplaylib.h"
#include "stream/PacketFormat.h"

using namespace qx::api;

namespace {

int32_t CodecOf(int kind) {
    if (kind == qx::kKindH264)
        return QXPLAY_CODEC_H264;
    if (kind == qx::kKindH265)
        return QXPLAY_CODEC_H265;
    return QXPLAY_CODEC_NONE;
}

int32_t SinkOf(const std::string& name) {
    if (name.empty())
        return QXPLAY_SINK_NONE;
    if (name == "silent")
        return QXPLAY_SINK_SILENT;
    if (name == "wav")
        return QXPLAY_SINK_FILE;
    return QXPLAY_SINK_DEVICE;
}

int32_t ClampToInt32(int64_t value) {
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

}  // namespace

extern "C" {

int QxPlay_GetPortStats(int32_t port, QxPortStats* stats) {
    constexpr uint32_t kSmallest = offsetof(QxPortStats, width);
    if (stats == nullptr || stats->size < kSmallest)
        return 0;
    Lookup lookup;
    const SessionRef session = Acquire(port, "QxPlay_GetPortStats", &lookup);
    if (!session)
        return 0;
    const PortStatistics::Figures figures = session->Port().stats.Read();
    QxPortStats filled{};
    filled.size = std::min<uint32_t>(stats->size, sizeof(QxPortStats));
    filled.codec = CodecOf(figures.codecKind);
    filled.width = session->Video().Width();
    filled.height = session->Video().Height();
    filled.frameRate = figures.decoded > 0 ? session->Port().frameRate.load() : 0;
    filled.soundOn = session->Audio().SoundEnabled() ? 1 : 0;
    filled.picturesDecoded = figures.decoded;
    filled.picturesShown = figures.shown;
    filled.picturesDropped = figures.dropped;
    filled.picturesLate = figures.late;
    filled.inputBytes = figures.inputBytes;
    filled.bitrate = figures.bitsPerSecond;
    filled.latencyMs = figures.latencyMs;
    filled.avOffsetMs = filled.soundOn ? ClampToInt32(session->Audio().HeardOffsetMs()) : 0;
    filled.sourceBufferFill = session->Input().Fill();
    filled.sourceBufferSize = session->Input().Capacity();
    filled.soundSink = SinkOf(session->Audio().SinkName());
    std::memcpy(stats, &filled, filled.size);
    return 1;
}

}  // extern "C"
