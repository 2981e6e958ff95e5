#include "streamkit/StreamOptions.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace qx::kit {

int FrameCount(const StreamOptions& options) {
    if (options.frames > 0) {
        return options.frames;
    }
    return static_cast<int>(std::lround(options.seconds * options.fps));
}

int GopLength(const StreamOptions& options) {
    return options.gop > 0 ? options.gop : 2 * options.fps;
}

void Validate(const StreamOptions& options) {
    auto fail = [](const std::string& what) {
        throw std::invalid_argument("stream option " + what);
    };
    if (options.width < 64 || options.height < 64 || options.width % 2 != 0 ||
        options.height % 2 != 0 || options.width > 8192 || options.height > 8192) {
        fail("size: width and height must be even and in 64..8192");
    }
    if (options.fps < 1 || options.fps > 120) {
        fail("fps: must be in 1..120");
    }
    if (options.frames < 0 || FrameCount(options) < 1) {
        fail("frames/seconds: at least one frame");
    }
    if (options.gop < 0) {
        fail("gop: must not be negative");
    }
    if (options.audioKind < kAudioNone || options.audioKind > kAudioMuLaw) {
        fail("audio kind: must be 0, 1, 2 or 3");
    }
    if (options.audioPacketMs < 20 || options.audioPacketMs > 100) {
        fail("audio packet duration: must be in 20..100 ms");
    }
    if (options.ver != 1 && options.ver != 2) {
        fail("ver: must be 1 or 2");
    }
    if (!options.watermark.empty() &&
        (options.codec != Codec::H264 || options.watermark.size() > 49)) {
        fail("watermark: H.264 only, at most 49 bytes");
    }
    if (options.crf < 0 || options.crf > 51) {
        fail("crf: must be in 0..51");
    }
    const Damage& d = options.damage;
    if (d.idxGapEvery < 0 || d.badLenEvery < 0 || d.junkEvery < 0 || d.idxGapSize < 1) {
        fail("damage: every-N counts must not be negative and gaps at least 1");
    }
}

int VideoKind(Codec codec) {
    return codec == Codec::H264 ? qx::kKindH264 : qx::kKindH265;
}

}  // namespace qx::kit
