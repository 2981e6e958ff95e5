#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Remuxing a recorded packet file into a container any player opens (MP4, MKV, or
// whatever libavformat writes for the output's extension).
namespace qxtools {

struct ExportSummary {
    int64_t pictures = 0;
    // Pictures before the first key picture, which nothing can decode, are left out.
    int64_t leftOut = 0;
    int64_t audioPackets = 0;
    std::string videoCodec;
    // "copied" when the container takes G.711 or PCM as it is, "aac" when it was
    // encoded, empty without sound.
    std::string audio;
};

// progress(fraction) is called as the input is worked through. False with *error set
// when the input is damaged, holds no picture, changes codec, or the output cannot be
// written; no output file is left behind then. The video is copied as it is, its
// timestamps from the packets.
bool ExportRecording(const std::string& input, const std::string& output,
                     const std::function<void(double)>& progress, ExportSummary* summary,
                     std::string* error);

}  // namespace qxtools
