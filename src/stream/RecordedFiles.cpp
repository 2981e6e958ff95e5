// Recorded files: the packet stream as it came, with no header, index or footer.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "stream/RecordedFiles.h"

#include "log/Log.h"
#include "stream/PacketBytes.h"
#include "platform/StdioFile.h"

namespace {

constexpr size_t kAccumulation = 8192000;

qx::StdioFile OpenFile(const std::string& path, const char* mode) {
    return qx::StdioFile(std::fopen(path.c_str(), mode));
}

}  // namespace

namespace qx {

void WritePESFile(const std::string& path, H264_VAO packet, bool overwrite) {
    qx::StdioFile file = OpenFile(path, overwrite ? "wb" : "ab");
    if (!file)
        return;
    static const unsigned char kTrailer[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    std::fwrite(&packet.param, 1, sizeof packet.param, file.get());
    if (packet.data != nullptr && packet.param.nal_len > 0)
        std::fwrite(packet.data, 1, static_cast<size_t>(packet.param.nal_len), file.get());
    std::fwrite(kTrailer, 1, sizeof kTrailer, file.get());
}

std::list<H264_VAO> ReadPESFile(const std::string& path) {
    std::list<H264_VAO> packets;
    qx::StdioFile file = OpenFile(path, "rb");
    if (!file)
        return packets;
    std::vector<unsigned char> accumulated(kAccumulation);
    size_t fill = 0;
    for (;;) {
        const size_t got =
            std::fread(accumulated.data() + fill, 1, kAccumulation - fill, file.get());
        if (got == 0)
            break;
        fill += got;
        const std::vector<int> markers =
            IndexOf(accumulated.data(), static_cast<int>(fill), qx::kMarker, qx::kMarkerSize, -1);
        for (size_t i = 0; i + 1 < markers.size(); ++i) {
            const unsigned char* at = accumulated.data() + markers[i];
            const int64_t length = markers[i + 1] - markers[i];
            if (length < qx::kHeaderSize)
                continue;
            const H264_PARAM header = qx::ReadHeader(at);
            // The header must account for exactly the bytes up to the next marker; a
            // negative length can never do so.
            if (header.nal_len < 0 ||
                static_cast<int64_t>(header.nal_len) + qx::kPacketOverhead != length)
                continue;
            H264_VAO packet;
            packet.param = header;
            packet.data = new (std::nothrow) unsigned char[header.nal_len > 0 ? header.nal_len : 1];
            if (packet.data == nullptr) {
                log::UpdateLog(4, "vaoObj.data new error and vaoObj.param.nal_len=" +
                                      std::to_string(header.nal_len));
                continue;
            }
            std::memcpy(packet.data, at + qx::kHeaderSize, static_cast<size_t>(header.nal_len));
            packets.push_back(packet);
        }
        size_t keep = 0;
        if (!markers.empty())
            keep = markers.back();
        if (markers.size() <= 1 && fill == kAccumulation) {
            // A full buffer in which no packet can end: the bytes cannot become one.
            // Keep only a possible partial marker and read on.
            keep = fill - (qx::kMarkerSize - 1);
        } else if (markers.empty()) {
            keep = fill > qx::kMarkerSize - 1 ? fill - (qx::kMarkerSize - 1) : 0;
        }
        std::memmove(accumulated.data(), accumulated.data() + keep, fill - keep);
        fill -= keep;
    }
    return packets;
}

void WriteYV12File(const std::string& path, const unsigned char* y, const unsigned char* u,
                   const unsigned char* v, int a, int b, int c, bool overwrite) {
    if (a <= 0 || b <= 0 || c < 0 || y == nullptr || u == nullptr || v == nullptr)
        return;
    qx::StdioFile file = OpenFile(path, overwrite ? "wb" : "ab");
    if (!file)
        return;
    const size_t luma = static_cast<size_t>(a) * b;
    const size_t chroma = static_cast<size_t>(a) * c / 2;
    std::fwrite(y, 1, luma, file.get());
    std::fwrite(u, 1, chroma, file.get());
    std::fwrite(v, 1, chroma, file.get());
}

bool IsExitsFile(const std::string& path) {
    return static_cast<bool>(OpenFile(path, "rb"));
}

}  // namespace qx
