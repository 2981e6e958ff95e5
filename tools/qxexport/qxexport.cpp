// qxexport: a recorded packet file as an MP4 or MKV that any player opens.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "RecordingExport.h"

namespace {

const char kUsage[] =
    "usage: qxexport IN OUT.mp4|OUT.mkv\n"
    "\n"
    "Remuxes a recorded packet file: the H.264 or H.265 video is copied as it is, with\n"
    "the packets' timestamps; G.711 sound is copied where the container takes it and\n"
    "encoded to AAC where it does not (MP4). On damaged input nothing is written.\n";

void ShowProgress(double fraction) {
    constexpr int kWidth = 40;
    const int filled = static_cast<int>(fraction * kWidth);
    std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################",
                 kWidth - filled, "", static_cast<int>(fraction * 100));
    if (fraction >= 1.0)
        std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help")) {
        std::cout << kUsage;
        return 0;
    }
    if (argc != 3) {
        std::cerr << kUsage;
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    // A bar only for a person watching: logs and pipes get the summary alone.
    const bool terminal = isatty(STDERR_FILENO) != 0;
    qxtools::ExportSummary summary;
    std::string error;
    if (!qxtools::ExportRecording(argv[1], argv[2], terminal ? ShowProgress : nullptr, &summary,
                                  &error)) {
        if (terminal)
            std::fputc('\n', stderr);
        std::cerr << "qxexport: " << error << "\n";
        return 1;
    }
    std::cout << "qxexport: " << argv[2] << ": " << summary.pictures << " " << summary.videoCodec
              << " pictures";
    if (!summary.audio.empty())
        std::cout << ", " << summary.audioPackets << " sound packets (" << summary.audio << ")";
    if (summary.leftOut > 0)
        std::cout << "; " << summary.leftOut << " pictures before the first key picture left out";
    std::cout << std::endl;
    return 0;
}
