// What happens to each shown picture besides the render call: copies for the host's
// callbacks, the colour adjustment, snapshots, the host's overlays; and the images
// the host asks for.
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "capture/SnapshotFiles.h"
#include "log/Log.h"
#include "render/PixelConvert.h"
#include "session/Presenter.h"

namespace {

constexpr int kDisplayCallbackSize = 4;
constexpr int kFrameTypeYv12 = 2;
constexpr int kSnapshotJpegQuality = 80;

std::string SizeText(int width, int height) {
    return std::to_string(width) + "x" + std::to_string(height) +
           ",w*h=" + std::to_string(static_cast<int64_t>(width) * height);
}

bool IsNeutral(const Presenter::ColorAdjust& adjust) {
    return adjust.brightness == 0 && adjust.contrast == 128 && adjust.saturation == 64 &&
           adjust.hue == 0;
}

}  // namespace

bool Presenter::FillYv12(unsigned char* destination, const unsigned char* y, const unsigned char* u,
                         const unsigned char* v, int width, int height) {
    try {
        if (destination == nullptr || y == nullptr || u == nullptr || v == nullptr || width <= 0 ||
            height <= 0)
            throw std::invalid_argument("picture");
        // After a colour adjustment the planes already are this copy.
        if (destination == y)
            return true;
        const size_t luma = static_cast<size_t>(width) * height;
        std::memcpy(destination, y, luma);
        std::memcpy(destination + luma, v, luma / 4);
        std::memcpy(destination + luma + luma / 4, u, luma / 4);
        return true;
    } catch (...) {
        qx::log::DbgviewLog(5, "5507,DDrawSession::FillYv12  Error" + SizeText(width, height));
        return false;
    }
}

bool Presenter::FillRgb24(unsigned char* destination, const unsigned char* y,
                          const unsigned char* u, const unsigned char* v, int width, int height) {
    if (qx::YuvToRgb24(y, v, u, destination, width, height))
        return true;
    qx::log::DbgviewLog(5, "5508,DDrawSession::FillRgb24 Error" + SizeText(width, height));
    return false;
}

unsigned char* Presenter::RgbBuffer_locked() {
    if (!m_rgb)
        m_rgb.reset(new (
            std::nothrow) unsigned char[static_cast<size_t>(m_pictureWidth) * m_pictureHeight * 3]);
    return m_rgb.get();
}

bool Presenter::FillYv12Copy_locked(int* width, int* height) {
    *width = m_pictureWidth;
    *height = m_pictureHeight;
    return m_yv12 && Packed_locked() &&
           FillYv12(m_yv12.get(), m_planes[0], m_planes[1], m_planes[2], *width, *height);
}

void Presenter::DeliverFilePicture() {
    DisplayHook();
    ColorAdjustHook();
    DecodeHook();
    m_pictureShown = true;
    DrawOverlays();
}

void Presenter::DisplayHook() {
    bool capture;
    {
        CAutoLock lock(&m_settingsLock);
        capture = m_captureRequested;
    }
    if (!capture && !m_callbacks.HasDisplay())
        return;
    int width;
    int height;
    unsigned char* rgb;
    {
        CAutoLock lock(&m_pictureLock);
        if (!FillYv12Copy_locked(&width, &height))
            return;
        rgb = RgbBuffer_locked();
        if (rgb == nullptr || !FillRgb24(rgb, m_planes[0], m_planes[1], m_planes[2], width, height))
            return;
    }
    // Both buffers belong to this thread from here on: only it replaces them.
    std::string name;
    bool bmp = false;
    {
        CAutoLock lock(&m_settingsLock);
        capture = m_captureRequested;
        if (capture) {
            m_captureRequested = false;
            name = m_captureName;
            bmp = m_captureBmp;
        }
    }
    if (capture) {
        try {
            if (bmp)
                qx::WriteBmpFile(rgb, width, height, name.c_str());
            else
                qx::WriteJpegFile(name.c_str(), rgb, width, height, kSnapshotJpegQuality);
        } catch (...) {
        }
        return;
    }
    const QxDisplayCallback callback = m_callbacks.TakeDisplay();
    if (callback == nullptr)
        return;
    const int32_t sid = m_status.sessionId;
    callback(sid, reinterpret_cast<char*>(m_yv12.get()), kDisplayCallbackSize, width, height, 0, 0,
             0);
    callback(sid, reinterpret_cast<char*>(rgb), kDisplayCallbackSize, width, height, 0, 1, 0);
}

void Presenter::ColorAdjustHook() {
    const ColorAdjust adjust = ColorAdjustment();
    if (IsNeutral(adjust))
        return;
    CAutoLock lock(&m_pictureLock);
    int width;
    int height;
    if (!FillYv12Copy_locked(&width, &height))
        return;
    unsigned char* copy = m_yv12.get();
    qx::AdjustColor(copy, width, height, adjust.brightness, adjust.saturation, adjust.contrast,
                    adjust.hue);
    const size_t luma = static_cast<size_t>(width) * height;
    m_planes[0] = copy;
    m_planes[2] = copy + luma;
    m_planes[1] = copy + luma * 5 / 4;
}

void Presenter::DecodeHook() {
    const QxDecodeCallback callback = m_callbacks.Decode();
    if (callback == nullptr)
        return;
    int width;
    int height;
    {
        CAutoLock lock(&m_pictureLock);
        if (!FillYv12Copy_locked(&width, &height))
            return;
    }
    const QxFrameInfo info{width, height, 0, kFrameTypeYv12, m_status.frameRate.load()};
    callback(m_status.sessionId, reinterpret_cast<char*>(m_yv12.get()),
             static_cast<int32_t>(static_cast<int64_t>(width) * height * 3 / 2), &info, 0, 0);
}

void Presenter::DrawOverlays() {
    if (!m_overlays.HasDrawing())
        return;
    CAutoLock lock(&m_pictureLock);
    if (!Packed_locked())
        return;
    m_overlays.Draw(
        qx::YuvPlanes{m_planes[0], m_planes[1], m_planes[2], m_pictureWidth, m_pictureHeight});
}

void Presenter::SetColor(const ColorSettings& raw, const ColorAdjust& adjust) {
    CAutoLock lock(&m_settingsLock);
    m_colorRaw = raw;
    m_colorAdjust = adjust;
}

Presenter::ColorSettings Presenter::Color() {
    CAutoLock lock(&m_settingsLock);
    return m_colorRaw;
}

Presenter::ColorAdjust Presenter::ColorAdjustment() {
    CAutoLock lock(&m_settingsLock);
    return m_colorAdjust;
}

void Presenter::RequestCapture(const std::string& path, bool bmp) {
    CAutoLock lock(&m_settingsLock);
    m_captureName = path;
    m_captureBmp = bmp;
    m_captureRequested = true;
}

bool Presenter::CurrentPictureAsBmp(unsigned char* destination, uint32_t capacity, uint32_t* size) {
    if (destination == nullptr || size == nullptr || !m_pictureShown)
        return false;
    CAutoLock lock(&m_pictureLock);
    const int width = m_pictureWidth;
    const int height = m_pictureHeight;
    if (!Packed_locked() || width <= 0 || height <= 0)
        return false;
    const int64_t fileSize = qx::BmpFileSize(width, height);
    if (fileSize <= 0 || capacity < fileSize)
        return false;
    const size_t row = static_cast<size_t>(width) * 3;
    std::vector<unsigned char> rgb(row * height);
    qx::YuvToRgb24Table(m_planes[0], m_planes[2], m_planes[1], rgb.data(), width, height);
    qx::WriteBmpHeader(destination, width, height);
    // Top-down pictures, bottom-up files.
    const size_t stride = static_cast<size_t>(qx::BmpRowBytes(width));
    unsigned char* out = destination + (fileSize - stride * height);
    for (int r = 0; r < height; ++r) {
        unsigned char* to = out + stride * r;
        std::memcpy(to, rgb.data() + row * (height - 1 - r), row);
        std::memset(to + row, 0, stride - row);
    }
    *size = static_cast<uint32_t>(fileSize);
    return true;
}

bool Presenter::CurrentPictureAsJpeg(unsigned char* destination, uint32_t capacity,
                                     uint32_t* size) {
    if (destination == nullptr || size == nullptr)
        return false;
    std::vector<unsigned char> rgb;
    int width;
    int height;
    {
        CAutoLock lock(&m_pictureLock);
        width = m_pictureWidth;
        height = m_pictureHeight;
        if (width <= 0 || height <= 0 || !Packed_locked())
            return false;
        if (capacity < static_cast<uint64_t>(width) * height * 3 / 2)
            return false;
        rgb.assign(static_cast<size_t>(width) * height * 3, 0);
        if (!qx::YuvToRgb24(m_planes[0], m_planes[2], m_planes[1], rgb.data(), width, height))
            return false;
    }
    return qx::CompressJpegToMemory(rgb.data(), width, height, destination, capacity, size);
}
