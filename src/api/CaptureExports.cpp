// Snapshots of a port's pictures, and picture files made from the host's own buffers.
#include <atomic>
#include <cstdint>
#include <limits>
#include <vector>

#include "api/PortTable.h"
#include "capture/SnapshotFiles.h"
#include "qxplaylib.h"
#include "render/PixelConvert.h"

using namespace qx::api;

namespace {

constexpr int kTypeYv12 = 0;
constexpr int kTypeRgb24 = 1;

std::atomic<int> gJpegQuality{80};

// The picture's RGB bytes; false when the sizes make no picture this process can hold.
bool RgbSize(int32_t width, int32_t height, size_t* bytes) {
    if (width <= 0 || height <= 0)
        return false;
    const uint64_t size = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3;
    if (size > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
        return false;
    *bytes = static_cast<size_t>(size);
    return true;
}

// Runs write(rgb) on a bottom-up RGB24 picture made from the host's buffer: its own
// bytes for type 1, a conversion of its YV12 picture for type 0. -1 for any other
// type, which writes nothing. A buffer declared smaller than the picture is refused;
// a size of 0 says nothing and is taken on trust, as callers have always done.
template <typename Write>
int WithRgb(char* buffer, int32_t size, int32_t width, int32_t height, int32_t type,
            const char* path, Write&& write) {
    if (type != kTypeYv12 && type != kTypeRgb24)
        return -1;
    size_t bytes = 0;
    if (buffer == nullptr || path == nullptr || !RgbSize(width, height, &bytes))
        return 0;
    const size_t needed = type == kTypeRgb24 ? bytes : bytes / 2;
    if (size != 0 && (size < 0 || static_cast<size_t>(size) < needed))
        return 0;
    auto* picture = reinterpret_cast<unsigned char*>(buffer);
    if (type == kTypeRgb24)
        return write(picture) ? 1 : 0;
    std::vector<unsigned char> rgb(bytes);
    const size_t luma = static_cast<size_t>(width) * height;
    if (!qx::YuvToRgb24(picture, picture + luma, picture + luma * 5 / 4, rgb.data(), width, height))
        return 0;
    return write(rgb.data()) ? 1 : 0;
}

int RequestCapture(int32_t port, const char* path, bool bmp, const char* function) {
    if (path == nullptr)
        return 0;
    return OnPort(port, function, 0, 0, [path, bmp](DDrawSession& s) {
        s.Show().RequestCapture(path, bmp);
        return 1;
    });
}

// Converting and compressing a picture takes long enough that it runs on the
// session's own reference, outside the port-table lock.
template <typename Take>
int MemoryImage(int32_t port, const char* function, Take&& take) {
    Lookup lookup;
    SessionRef session = Acquire(port, function, &lookup);
    if (!session)
        return 0;
    try {
        return take(*session) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

}  // namespace

extern "C" {

int QxPlay_CaptureBmpPicture(int32_t port, const char* path) {
    return RequestCapture(port, path, true, "QxPlay_CaptureBmpPicture");
}

int QxPlay_CaptureJpegPicture(int32_t port, const char* path) {
    return RequestCapture(port, path, false, "QxPlay_CaptureJpegPicture");
}

int QxPlay_GetBMP(int32_t port, uint8_t* buffer, uint32_t size, uint32_t* imageSize) {
    return MemoryImage(port, "QxPlay_GetBMP", [=](DDrawSession& s) {
        return s.Show().CurrentPictureAsBmp(buffer, size, imageSize);
    });
}

int QxPlay_GetJPEG(int32_t port, uint8_t* buffer, uint32_t size, uint32_t* imageSize) {
    return MemoryImage(port, "QxPlay_GetJPEG", [=](DDrawSession& s) {
        return s.Show().CurrentPictureAsJpeg(buffer, size, imageSize);
    });
}

int QxPlay_ConvertToBmpFile(char* buffer, int32_t size, int32_t width, int32_t height, int32_t type,
                            const char* path) {
    try {
        const int result =
            WithRgb(buffer, size, width, height, type, path,
                    [&](unsigned char* rgb) { return qx::WriteBmpFile(rgb, width, height, path); });
        return result < 0 ? 1 : result;
    } catch (...) {
        return 0;
    }
}

int QxPlay_ConvertToJpegFile(char* buffer, int32_t size, int32_t width, int32_t height,
                             int32_t type, const char* path) {
    try {
        const int quality = gJpegQuality.load();
        const int result =
            WithRgb(buffer, size, width, height, type, path, [&](unsigned char* rgb) {
                return qx::WriteJpegFile(path, rgb, width, height, quality);
            });
        return result < 0 ? 1 : result;
    } catch (...) {
        return 0;
    }
}

int QxPlay_SetJpegQuality(int quality) {
    gJpegQuality.store(quality);
    return 1;
}

}  // extern "C"
