// Rectangles and lines over a port's pictures, its watermark, play mode and played bytes.
#include <cstring>

#include "api/PortTable.h"
#include "qxplaylib.h"

using namespace qx::api;

namespace {

struct YCbCr {
    unsigned char y, cb, cr;
};

// Full-range BT.601, as JPEG uses it; each value truncated toward zero.
YCbCr ToYCbCr(unsigned r, unsigned g, unsigned b) {
    const double red = r, green = g, blue = b;
    return {static_cast<unsigned char>(0.299 * red + 0.587 * green + 0.114 * blue),
            static_cast<unsigned char>(-0.1687 * red - 0.3313 * green + 0.5 * blue + 128),
            static_cast<unsigned char>(0.5 * red - 0.4187 * green - 0.0813 * blue + 128)};
}

}  // namespace

extern "C" {

int QxPlay_SetRectangle(int32_t port, int x, int y, int32_t width, int32_t height, uint8_t red,
                        uint8_t green, uint8_t blue, int slot) {
    return OnPort(port, "QxPlay_SetRectangle", 0, 0, [=](DDrawSession& s) {
        const YCbCr colour = ToYCbCr(red, green, blue);
        OverlayStore::Rectangle rectangle;
        rectangle.width = width;
        rectangle.height = height;
        rectangle.x = x;
        rectangle.y = y;
        rectangle.luma = colour.y;
        rectangle.cr = colour.cr;
        rectangle.cb = colour.cb;
        return s.Show().Overlays().SetRectangle(slot, rectangle) ? 1 : 0;
    });
}

int QxPlay_RemoveRectangle(int32_t port, int slot) {
    return OnPort(port, "QxPlay_RemoveRectangle", 0, 0,
                  [slot](DDrawSession& s) { return s.Show().Overlays().RemoveRectangle(slot) ? 1 : 0; });
}

int QxPlay_DrawLine(int32_t port, int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint32_t color,
                    int32_t key, int32_t kind) {
    return OnPort(port, "QxPlay_DrawLine", 0, 0, [=](DDrawSession& s) {
        const YCbCr colour = ToYCbCr(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF);
        const uint32_t packed = (uint32_t{colour.y} << 16) | (uint32_t{colour.cr} << 8) | colour.cb;
        s.Show().Overlays().SetLine(key, OverlayStore::Line{x1, y1, x2, y2, packed, kind});
        return 1;
    });
}

int QxPlay_RemoveLine(int32_t port, int32_t key) {
    return OnPort(port, "QxPlay_RemoveLine", 0, 0, [key](DDrawSession& s) {
        s.Show().Overlays().RemoveLine(key);
        return 1;
    });
}

int QxPlay_GetWaterMask(int32_t port, char* buffer) {
    return OnPort(port, "QxPlay_GetWaterMask", 0, 0, [buffer](DDrawSession& s) {
        if (buffer != nullptr)
            s.WatermarkRecord().Text(buffer);
        return 1;
    });
}

int QxPlay_SetWaterMaskCB(int32_t port, QxWaterMaskCallback callback, void* user) {
    return OnPort(port, "QxPlay_SetWaterMaskCB", 0, 0, [=](DDrawSession& s) {
        s.WatermarkRecord().SetCallback(callback, user);
        return 1;
    });
}

int QxPlay_SetPlayMode(int32_t port, int mode) {
    return OnPort(port, "QxPlay_SetPlayMode", 0, 0, [mode](DDrawSession& s) {
        s.SetPlayMode(mode);
        return 1;
    });
}

int QxPlay_GetPlaySize(int32_t port) {
    return OnPort(port, "QxPlay_GetPlaySize", 0, -1,
                  [](DDrawSession& s) { return static_cast<int>(s.Port().consumedBytes.load()); });
}

}  // extern "C"
