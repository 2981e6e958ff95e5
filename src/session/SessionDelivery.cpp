// What happens to each shown picture besides the render call: copies for the host's
// callbacks, the colour adjustment, snapshots, the host's overlays, the watermark.
#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "capture/SnapshotFiles.h"
#include "log/RecH264Data.h"
#include "render/OverlayDraw.h"
#include "render/PixelConvert.h"
#include "session/DDrawSession.h"

namespace {

constexpr int kDisplayCallbackSize = 4;
constexpr int kFrameTypeYv12 = 2;
constexpr int kSnapshotJpegQuality = 80;

// "watermark information error" in GBK, with its terminating zero.
constexpr unsigned char kWatermarkError[] = {0xCB, 0xAE, 0xD3, 0xA1, 0xD0, 0xC5, 0xCF,
                                             0xA2, 0xB4, 0xED, 0xCE, 0xF3, 0x00};

std::string SizeText(int width, int height) {
    return std::to_string(width) + "x" + std::to_string(height) +
           ",w*h=" + std::to_string(static_cast<int64_t>(width) * height);
}

bool IsNeutral(const DDrawSession::ColorAdjust& adjust) {
    return adjust.brightness == 0 && adjust.contrast == 128 && adjust.saturation == 64 &&
           adjust.hue == 0;
}

}  // namespace

bool DDrawSession::FillYv12(unsigned char* destination, const unsigned char* y,
                            const unsigned char* u, const unsigned char* v, int width, int height) {
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
        RecH264Data::DbgviewLog(5, "5507,DDrawSession::FillYv12  Error" + SizeText(width, height));
        return false;
    }
}

bool DDrawSession::FillRgb24(unsigned char* destination, const unsigned char* y,
                             const unsigned char* u, const unsigned char* v, int width,
                             int height) {
    if (qx::YuvToRgb24(y, v, u, destination, width, height))
        return true;
    RecH264Data::DbgviewLog(5, "5508,DDrawSession::FillRgb24 Error" + SizeText(width, height));
    return false;
}

unsigned char* DDrawSession::RgbBuffer() {
    if (!m_rgb)
        m_rgb.reset(new (
            std::nothrow) unsigned char[static_cast<size_t>(m_pictureWidth) * m_pictureHeight * 3]);
    return m_rgb.get();
}

bool DDrawSession::FillYv12Copy(int* width, int* height) {
    *width = m_pictureWidth;
    *height = m_pictureHeight;
    return m_yv12 && m_planes[0] != nullptr &&
           FillYv12(m_yv12.get(), m_planes[0], m_planes[1], m_planes[2], *width, *height);
}

void DDrawSession::DisplayHook() {
    bool capture;
    {
        CAutoLock lock(&m_captureLock);
        capture = m_captureRequested;
    }
    {
        CAutoLock lock(&m_callbackLock);
        if (m_displayCallback == nullptr && !capture)
            return;
    }
    int width;
    int height;
    unsigned char* rgb;
    {
        CAutoLock lock(&m_pictureLock);
        if (!FillYv12Copy(&width, &height))
            return;
        rgb = RgbBuffer();
        if (rgb == nullptr || !FillRgb24(rgb, m_planes[0], m_planes[1], m_planes[2], width, height))
            return;
    }
    // Both buffers belong to this thread from here on: only it replaces them.
    std::string name;
    bool bmp = false;
    {
        CAutoLock lock(&m_captureLock);
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
    QxDisplayCallback callback;
    {
        // One picture per registration: taken, so that a host setting it again from
        // its own thread gets the next picture, not half of this one.
        CAutoLock lock(&m_callbackLock);
        callback = m_displayCallback;
        m_displayCallback = nullptr;
    }
    if (callback == nullptr)
        return;
    callback(m_sessionId, reinterpret_cast<char*>(m_yv12.get()), kDisplayCallbackSize, width,
             height, 0, 0, 0);
    callback(m_sessionId, reinterpret_cast<char*>(rgb), kDisplayCallbackSize, width, height, 0, 1,
             0);
}

void DDrawSession::ColorAdjustHook() {
    const ColorAdjust adjust = ColorAdjustment();
    if (IsNeutral(adjust))
        return;
    CAutoLock lock(&m_pictureLock);
    int width;
    int height;
    if (!FillYv12Copy(&width, &height))
        return;
    unsigned char* copy = m_yv12.get();
    qx::AdjustColor(copy, width, height, adjust.brightness, adjust.saturation, adjust.contrast,
                    adjust.hue);
    const size_t luma = static_cast<size_t>(width) * height;
    CAutoLock infoLock(&m_frameInfoLock);
    m_planes[0] = copy;
    m_planes[2] = copy + luma;
    m_planes[1] = copy + luma * 5 / 4;
}

void DDrawSession::DecodeHook() {
    QxDecodeCallback callback;
    {
        CAutoLock lock(&m_callbackLock);
        callback = m_decodeCallback;
    }
    if (callback == nullptr)
        return;
    int width;
    int height;
    {
        CAutoLock lock(&m_pictureLock);
        if (!FillYv12Copy(&width, &height))
            return;
    }
    const QxFrameInfo info{width, height, 0, kFrameTypeYv12, m_frameRate.load()};
    callback(m_sessionId, reinterpret_cast<char*>(m_yv12.get()),
             static_cast<int32_t>(static_cast<int64_t>(width) * height * 3 / 2), &info, 0, 0);
}

void DDrawSession::DrawOverlays() {
    CAutoLock lock(&m_pictureLock);
    if (m_planes[0] == nullptr)
        return;
    const qx::YuvPlanes picture{m_planes[0], m_planes[1], m_planes[2], m_pictureWidth,
                                m_pictureHeight};
    CAutoLock overlayLock(&m_overlayLock);
    for (int slot = 0; slot < qx::kDrawnRectangleSlots; ++slot) {
        const Rectangle& r = m_rectangles[slot];
        if (!r.enabled || (r.height == 0 && r.width == 0))
            continue;
        qx::DrawRectangle(picture, r.x, r.y, r.width, r.height,
                          qx::OverlayColour(r.luma, r.cr, r.cb));
    }
    for (const auto& [key, line] : m_lines) {
        switch (line.kind) {
            case 0:
                qx::DrawThickLine(picture, line.x0, line.y0, line.x1, line.y1, line.colour);
                break;
            case 1:
                qx::DrawLabelledLine(picture, line.x0, line.y0, line.x1, line.y1, line.colour);
                break;
            case 2:
                qx::DrawArrowLine(picture, line.x0, line.y0, line.x1, line.y1, line.colour);
                break;
            default:
                break;
        }
    }
}

void DDrawSession::DecipherSei(const unsigned char* payload, int length) {
    if (qx::DecipherWatermarkSei(m_des, payload, length, m_seiInfo, &m_seiLength))
        m_seiPending = true;
}

void DDrawSession::WatermarkCheck() {
    unsigned char record[qx::kWatermarkRecordSize] = {};
    std::memcpy(record, m_seiInfo,
                static_cast<size_t>(std::clamp(m_seiLength, 0, qx::kWatermarkRecordSize)));
    qx::FrameDescription frame;
    {
        CAutoLock lock(&m_frameInfoLock);
        frame = m_frameDescription;
    }
    if (std::memcmp(record, frame.data(), sizeof frame) != 0) {
        unsigned char* text = record + qx::kWatermarkTextOffset;
        std::memset(text, 0, qx::kWatermarkTextSize);
        if (m_seiPending)
            std::memcpy(text, kWatermarkError, sizeof kWatermarkError);
    }
    // The record's text need not end within its 50 bytes; the host gets it terminated.
    char text[qx::kWatermarkTextSize + 1];
    std::memcpy(text, record + qx::kWatermarkTextOffset, qx::kWatermarkTextSize);
    text[qx::kWatermarkTextSize] = '\0';
    QxWaterMaskCallback callback;
    void* user;
    {
        CAutoLock lock(&m_watermarkLock);
        std::memcpy(m_watermark, record, sizeof record);
        callback = m_watermarkCallback;
        user = m_watermarkUser;
    }
    if (callback != nullptr)
        callback(text, user);
}

void DDrawSession::WatermarkText(char text[qx::kWatermarkTextSize]) {
    CAutoLock lock(&m_watermarkLock);
    std::memcpy(text, m_watermark + qx::kWatermarkTextOffset, qx::kWatermarkTextSize);
}

void DDrawSession::SetWatermarkCallback(QxWaterMaskCallback callback, void* user) {
    CAutoLock lock(&m_watermarkLock);
    m_watermarkCallback = callback;
    m_watermarkUser = user;
}

bool DDrawSession::SetRectangle(int slot, const Rectangle& rectangle) {
    if (slot < 0 || slot >= qx::kRectangleSlots)
        return false;
    CAutoLock lock(&m_overlayLock);
    m_rectangles[slot] = rectangle;
    m_rectangles[slot].enabled = true;
    return true;
}

bool DDrawSession::RemoveRectangle(int slot) {
    if (slot < 0 || slot >= qx::kRectangleSlots)
        return false;
    CAutoLock lock(&m_overlayLock);
    m_rectangles[slot].enabled = false;
    return true;
}

std::optional<DDrawSession::Rectangle> DDrawSession::RectangleAt(int slot) {
    if (slot < 0 || slot >= qx::kRectangleSlots)
        return std::nullopt;
    CAutoLock lock(&m_overlayLock);
    return m_rectangles[slot];
}

void DDrawSession::SetLine(int32_t key, const Line& line) {
    CAutoLock lock(&m_overlayLock);
    m_lines[key] = line;
}

void DDrawSession::RemoveLine(int32_t key) {
    CAutoLock lock(&m_overlayLock);
    m_lines.erase(key);
}

std::map<int32_t, DDrawSession::Line> DDrawSession::Lines() {
    CAutoLock lock(&m_overlayLock);
    return m_lines;
}

void DDrawSession::SetPlayMode(int mode) {
    CAutoLock lock(&m_playModeLock);
    m_playMode = mode;
}

int DDrawSession::PlayMode() {
    CAutoLock lock(&m_playModeLock);
    return m_playMode;
}

void DDrawSession::RequestCapture(const std::string& path, bool bmp) {
    CAutoLock lock(&m_captureLock);
    m_captureName = path;
    m_captureBmp = bmp;
    m_captureRequested = true;
}

bool DDrawSession::CurrentPictureAsBmp(unsigned char* destination, uint32_t capacity,
                                       uint32_t* size) {
    if (destination == nullptr || size == nullptr || !m_pictureShown)
        return false;
    CAutoLock lock(&m_pictureLock);
    const int width = m_pictureWidth;
    const int height = m_pictureHeight;
    if (m_planes[0] == nullptr || width <= 0 || height <= 0)
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

bool DDrawSession::CurrentPictureAsJpeg(unsigned char* destination, uint32_t capacity,
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
        if (width <= 0 || height <= 0 || m_planes[0] == nullptr)
            return false;
        if (capacity < static_cast<uint64_t>(width) * height * 3 / 2)
            return false;
        rgb.assign(static_cast<size_t>(width) * height * 3, 0);
        if (!qx::YuvToRgb24(m_planes[0], m_planes[2], m_planes[1], rgb.data(), width, height))
            return false;
    }
    return qx::CompressJpegToMemory(rgb.data(), width, height, destination, capacity, size);
}
