// qxmkstream: writes a packet stream of synthetic video and audio, or summarises one.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "streamkit/StreamKit.h"

namespace {

using qx::kit::Codec;

const char kUsage[] =
    "usage: qxmkstream [options] -o FILE|-\n"
    "       qxmkstream --summary FILE\n"
    "\n"
    "Writes a packet stream: H.264/H.265 pictures of a moving pattern with the frame\n"
    "number burnt in (flash frame at every whole second) and 8 kHz audio (440 Hz tone,\n"
    "click at every whole second).\n"
    "\n"
    "  --codec h264|h265    video codec (h264)\n"
    "  --size WxH           picture size, even, at least 64x64 (352x288)\n"
    "  --fps N              frames per second (25)\n"
    "  --seconds S          stream length in seconds (2)\n"
    "  --frames N           stream length in frames, instead of --seconds\n"
    "  --gop N              frames from key frame to key frame (2 * fps)\n"
    "  --audio 0|1|2|3      none, G.711 A-law, 8-bit PCM, G.711 mu-law (0)\n"
    "  --audio-ms N         audio per packet, 20..100 ms (40)\n"
    "  --ver 1|2            header version (2)\n"
    "  --epoch N            wall-clock second of the first frame (1700000000)\n"
    "  --sei                keep the encoder's SEI units\n"
    "  --watermark TEXT     encipher a watermark record with TEXT before each key picture\n"
    "                       (H.264, at most 49 bytes)\n"
    "  --preset P           x264/x265 preset (veryfast)\n"
    "  --crf N              x264/x265 quality, 0..51 (23)\n"
    "\n"
    "damage:\n"
    "  --junk EVERY         junk bytes after every EVERYth packet\n"
    "  --junk-bytes N       size of each junk block (37)\n"
    "  --leading-junk N     junk bytes before the first packet\n"
    "  --bad-len EVERY      every EVERYth packet claims a wrong nal_len\n"
    "  --bad-len-delta N    how far off the claimed nal_len is (17)\n"
    "  --idx-gap EVERY      every EVERYth video packet skips an idx value\n"
    "  --cut-packet I:N     write only the first N bytes of packet I (0-based)\n"
    "  --truncate BYTES     end the stream after BYTES bytes\n"
    "  --seed N             seed of the junk contents (1)\n"
    "\n"
    "  -o FILE              output file, - for stdout\n"
    "  --summary FILE       print what a packet file holds\n"
    "  -h, --help           this text\n";

[[noreturn]] void Usage(const std::string& problem) {
    std::cerr << "qxmkstream: " << problem << "\n\n" << kUsage;
    std::exit(2);
}

long long Number(const std::string& option, const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0) {
        Usage(option + " wants a number, not '" + text + "'");
    }
    return v;
}

int Int(const std::string& option, const std::string& text) {
    const long long v = Number(option, text);
    if (v < -2147483647LL || v > 2147483647LL) {
        Usage(option + " is out of range");
    }
    return static_cast<int>(v);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open " + path);
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    if (path == "-") {
        if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() ||
            std::fflush(stdout) != 0) {
            throw std::runtime_error("cannot write to stdout");
        }
        return;
    }
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

const char* KindName(int knd) {
    switch (knd) {
        case qx::kKindH264:
            return "H.264 video";
        case qx::kKindH265:
            return "H.265 video";
        case qx::kKindAudio1:
            return "audio, G.711 A-law";
        case qx::kKindPcm8:
            return "audio, 8-bit PCM";
        case qx::kKindAudio3:
            return "audio, G.711 mu-law";
        default:
            return "unknown";
    }
}

struct KindStats {
    long count = 0;
    long key = 0;
    long long bytes = 0;
    int minLen = 0;
    int maxLen = 0;
    int64_t firstPts = 0;
    int64_t lastPts = 0;
    int64_t firstSec = 0;
    int64_t lastSec = 0;
};

int Summary(const std::string& path) {
    const std::vector<uint8_t> bytes = ReadFile(path);
    const std::vector<qx::kit::PacketSpan> spans = qx::kit::ScanPackets(bytes.data(), bytes.size());
    std::map<int, KindStats> kinds;
    std::map<int, long> versions;
    std::map<int, long> rates;
    long badTrailers = 0;
    long idxGaps = 0;
    long long inPackets = 0;
    int64_t firstIdx = 0;
    std::optional<int64_t> lastIdx;
    std::optional<qx::kit::PictureSize> size;
    for (const qx::kit::PacketSpan& span : spans) {
        const H264_PARAM& h = span.header;
        KindStats& k = kinds[h.knd];
        if (k.count == 0) {
            k.minLen = k.maxLen = h.nal_len;
            k.firstPts = h.pts;
            k.firstSec = h.sec;
        }
        ++k.count;
        k.bytes += h.nal_len;
        k.minLen = std::min(k.minLen, h.nal_len);
        k.maxLen = std::max(k.maxLen, h.nal_len);
        k.lastPts = h.pts;
        k.lastSec = h.sec;
        ++versions[h.ver];
        inPackets += h.nal_len + qx::kPacketOverhead;
        badTrailers += span.trailerOk ? 0 : 1;
        if (!qx::kit::IsVideoKind(h.knd)) {
            continue;
        }
        ++rates[h.fbs];
        if (!lastIdx) {
            firstIdx = h.idx;
        } else if (h.idx != *lastIdx + 1) {
            ++idxGaps;
        }
        lastIdx = h.idx;
        const Codec codec = h.knd == qx::kKindH264 ? Codec::H264 : Codec::H265;
        const uint8_t* payload = bytes.data() + span.offset + qx::kHeaderSize;
        const std::vector<uint8_t> au(payload, payload + h.nal_len);
        if (qx::kit::IsKeyAccessUnit(codec, au)) {
            ++k.key;
        }
        if (!size) {
            size = qx::kit::AccessUnitSize(codec, au);
        }
    }

    std::printf("file: %s, %zu bytes\n", path.c_str(), bytes.size());
    std::printf("packets: %zu, bytes outside packets: %lld, bad trailers: %ld\n", spans.size(),
                static_cast<long long>(bytes.size()) - inPackets, badTrailers);
    for (const auto& [knd, k] : kinds) {
        std::printf("kind %d (%s): %ld packets", knd, KindName(knd), k.count);
        if (qx::kit::IsVideoKind(knd)) {
            std::printf(", %ld key", k.key);
        }
        std::printf(", payload %lld bytes (min %d, max %d), pts %lld..%lld us, sec %lld..%lld\n",
                    k.bytes, k.minLen, k.maxLen, static_cast<long long>(k.firstPts),
                    static_cast<long long>(k.lastPts), static_cast<long long>(k.firstSec),
                    static_cast<long long>(k.lastSec));
    }
    for (const auto& [ver, n] : versions) {
        std::printf("ver %d: %ld packets\n", ver, n);
    }
    for (const auto& [fbs, n] : rates) {
        std::printf("fps %d: %ld video packets\n", fbs, n);
    }
    if (lastIdx) {
        std::printf("video idx %lld..%lld, gaps: %ld\n", static_cast<long long>(firstIdx),
                    static_cast<long long>(*lastIdx), idxGaps);
    }
    if (size) {
        std::printf("resolution: %dx%d\n", size->width, size->height);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    qx::kit::StreamOptions options;
    std::string output;
    std::string summary;
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (a == "--sei") {
            options.sei = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            Usage("unknown option or missing value: " + a);
        }
        const std::string& v = args[++i];
        qx::kit::Damage& d = options.damage;
        if (a == "--codec") {
            if (v != "h264" && v != "h265") {
                Usage("--codec is h264 or h265");
            }
            options.codec = v == "h264" ? Codec::H264 : Codec::H265;
        } else if (a == "--size") {
            const size_t x = v.find('x');
            if (x == std::string::npos) {
                Usage("--size wants WxH");
            }
            options.width = Int(a, v.substr(0, x));
            options.height = Int(a, v.substr(x + 1));
        } else if (a == "--fps") {
            options.fps = Int(a, v);
        } else if (a == "--seconds") {
            char* end = nullptr;
            options.seconds = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0') {
                Usage("--seconds wants a number");
            }
        } else if (a == "--frames") {
            options.frames = Int(a, v);
        } else if (a == "--gop") {
            options.gop = Int(a, v);
        } else if (a == "--watermark") {
            options.watermark = v;
        } else if (a == "--audio") {
            options.audioKind = static_cast<qx::kit::AudioKind>(Int(a, v));
        } else if (a == "--audio-ms") {
            options.audioPacketMs = Int(a, v);
        } else if (a == "--ver") {
            options.ver = Int(a, v);
        } else if (a == "--epoch") {
            options.startEpoch = Number(a, v);
        } else if (a == "--preset") {
            options.preset = v;
        } else if (a == "--crf") {
            options.crf = Int(a, v);
        } else if (a == "--junk") {
            d.junkEvery = Int(a, v);
        } else if (a == "--junk-bytes") {
            d.junkBytes = static_cast<size_t>(Number(a, v));
        } else if (a == "--leading-junk") {
            d.leadingJunk = static_cast<size_t>(Number(a, v));
        } else if (a == "--bad-len") {
            d.badLenEvery = Int(a, v);
        } else if (a == "--bad-len-delta") {
            d.badLenDelta = Int(a, v);
        } else if (a == "--idx-gap") {
            d.idxGapEvery = Int(a, v);
        } else if (a == "--cut-packet") {
            const size_t colon = v.find(':');
            if (colon == std::string::npos) {
                Usage("--cut-packet wants INDEX:BYTES");
            }
            d.cutPacket = Number(a, v.substr(0, colon));
            d.cutPacketBytes = static_cast<size_t>(Number(a, v.substr(colon + 1)));
        } else if (a == "--truncate") {
            d.truncateAt = Number(a, v);
        } else if (a == "--seed") {
            d.seed = static_cast<uint32_t>(Number(a, v));
        } else if (a == "-o") {
            output = v;
        } else if (a == "--summary") {
            summary = v;
        } else {
            Usage("unknown option " + a);
        }
    }
    try {
        if (!summary.empty()) {
            return Summary(summary);
        }
        if (output.empty()) {
            Usage("say where the stream goes: -o FILE or -o -");
        }
        if (output == "-" && isatty(fileno(stdout))) {
            Usage("not writing a binary stream to a terminal");
        }
        WriteFile(output, qx::kit::StreamWriter::MakeStream(options));
    } catch (const std::exception& e) {
        std::cerr << "qxmkstream: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
