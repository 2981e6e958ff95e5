#include "render/CDDrawDisplay.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "log/Log.h"
#include "platform/XConnection.h"
#include "render/PixelConvert.h"

namespace {

constexpr int32_t kPixFmtRgb32 = 28;
constexpr int32_t kPixFmtRgb565 = 37;

std::atomic<int32_t> g_DDrawCount{0};

int CountBits(unsigned long mask) {
    return __builtin_popcountl(mask);
}

int BitsPerPixel(Display* display, int depth) {
    int count = 0;
    XPixmapFormatValues* formats = XListPixmapFormats(display, &count);
    int bits = 0;
    for (int i = 0; i < count; ++i) {
        if (formats[i].depth == depth)
            bits = formats[i].bits_per_pixel;
    }
    if (formats != nullptr)
        XFree(formats);
    return bits;
}

// Nearest-neighbour stretch of a rectangle of source onto all of destination.
template <typename Pixel>
void Stretch(const XImage& source, int left, int top, int width, int height, XImage& destination) {
    std::vector<int> columns(static_cast<size_t>(destination.width));
    for (int x = 0; x < destination.width; ++x)
        columns[x] = left + static_cast<int>(static_cast<int64_t>(x) * width / destination.width);
    for (int y = 0; y < destination.height; ++y) {
        const int sourceRow =
            top + static_cast<int>(static_cast<int64_t>(y) * height / destination.height);
        const Pixel* in = reinterpret_cast<const Pixel*>(
            source.data + static_cast<size_t>(sourceRow) * source.bytes_per_line);
        Pixel* out = reinterpret_cast<Pixel*>(destination.data +
                                              static_cast<size_t>(y) * destination.bytes_per_line);
        for (int x = 0; x < destination.width; ++x)
            out[x] = in[columns[x]];
    }
}

}  // namespace

CDDrawDisplay::CDDrawDisplay() = default;

CDDrawDisplay::~CDDrawDisplay() {
    try {
        DDrawDispDone();
        const int32_t count = --g_DDrawCount;
        qx::log::DbgviewLog(5, "DDrawDone g_DDrawCount=%d", count);
    } catch (...) {
        qx::log::DbgviewLog(5, "4508,CDDrawDisplay::~CDDrawDisplay  Error");
    }
}

bool CDDrawDisplay::Init(QxWindow window, int width, int height) {
    return DDrawDispInit(window, width, height, 0) == 1;
}

bool CDDrawDisplay::Render(unsigned char* planes[3], const int strides[3], int width, int height,
                           QxWindow window, const RenderPoint* topLeft,
                           const RenderPoint* bottomRight) {
    return DDrawUpdateDisp(planes, strides, width, height, window, topLeft, bottomRight);
}

void CDDrawDisplay::Close() {
    DDrawDispDone();
}

void CDDrawDisplay::GetSize(int32_t& height, int32_t& width) {
    height = m_pictureHeight;
    width = m_pictureWidth;
}

int CDDrawDisplay::DDrawDispInit(QxWindow window, int width, int height, int sessionId) {
    m_initialised = false;
    const int32_t count = ++g_DDrawCount;
    qx::log::DbgviewLog(8, "DDrawInit g_DDrawCount=%d", count);
    m_sid = sessionId;
    m_pictureWidth = width;
    m_pictureHeight = height;
    m_window = window;

    auto connection = std::make_unique<qx::XConnection>();
    XWindowAttributes attributes;
    if (window == 0 || !connection->Open() || !connection->WindowAttributes(window, &attributes)) {
        qx::log::DbgviewLog(5, "4519, CDDrawDisplay::DDrawDispInit m_window is null");
        return 0;
    }
    qx::log::DbgviewLog(8, "DIRECTDRAW_VERSION = 0x%04x", 0x0700);
    m_deviceGuid = qx::GetWindowDeviceGuid(*connection, window);
    m_connection = std::move(connection);
    qx::log::DbgviewLog(8, "4308,CDDrawDisplay::DDrawDispInit DirectDrawCreate successed");

    m_gc = XCreateGC(m_connection->display(), window, 0, nullptr);
    if (m_connection->Sync() != 0 || m_gc == nullptr) {
        qx::log::DbgviewLog(8, "4503,CDDrawDisplay::DDrawDispInit CreateSurface() Error");
        DDrawDispDone();
        return 0;
    }
    if (!ReadPixelFormat(attributes.depth, attributes.visual)) {
        DDrawDispDone();
        return 0;
    }
    if (width <= 0 || height <= 0) {
        qx::log::DbgviewLog(5, "DDERR_INVALIDPARAMS ");
        DDrawDispDone();
        return 0;
    }
    m_visual = attributes.visual;
    m_depth = attributes.depth;
    m_image = std::make_unique<qx::ShmImage>();
    if (!m_image->Create(*m_connection, m_visual, m_depth, width, height)) {
        qx::log::DbgviewLog(5, "DDERR_OUTOFMEMORY ");
        DDrawDispDone();
        return 0;
    }
    // A new surface shows black until its first picture, not stale memory.
    XImage* image = m_image->image();
    std::memset(image->data, 0, static_cast<size_t>(image->bytes_per_line) * image->height);
    m_imageMade = true;
    m_initialised = true;
    return 1;
}

bool CDDrawDisplay::ReadPixelFormat(int depth, Visual* visual) {
    m_redBits = CountBits(visual->red_mask);
    m_greenBits = CountBits(visual->green_mask);
    m_blueBits = CountBits(visual->blue_mask);
    m_alphaBits = depth == 32 ? 8 : 0;
    m_rgbBitCount = static_cast<uint32_t>(BitsPerPixel(m_connection->display(), depth));
    const bool trueColor = visual->c_class == TrueColor;
    if (trueColor && m_rgbBitCount == 32 && visual->red_mask == 0xff0000 &&
        visual->green_mask == 0xff00 && visual->blue_mask == 0xff) {
        m_pixelFormat = kPixFmtRgb32;
        qx::log::DbgviewLog(115, std::string("ddraw FOURCC_PIX_FMT_RGB32"));
        return true;
    }
    if (trueColor && m_rgbBitCount == 16 && visual->red_mask == 0xf800 &&
        visual->green_mask == 0x7e0 && visual->blue_mask == 0x1f) {
        m_pixelFormat = kPixFmtRgb565;
        qx::log::DbgviewLog(115, std::string("ddraw FOURCC_PIX_FMT_RGB565"));
        return true;
    }
    // Nothing converts into any other layout: showing raw memory would be garbage.
    qx::log::DbgviewLog(115, "unknow pixformat r=%d,g=%d,b=%d", m_redBits, m_greenBits, m_blueBits);
    return false;
}

int CDDrawDisplay::DDrawDispReinit(QxWindow window, int width, int height, int sessionId) {
    DDrawDispDone();
    return DDrawDispInit(window, width, height, sessionId);
}

void CDDrawDisplay::DDrawDispDone() {
    m_stretched.reset();
    if (m_image) {
        m_image.reset();
        qx::log::DbgviewLog(5, std::string("m_image->Release()"));
    }
    m_imageMade = false;
    if (m_gc != nullptr) {
        XFreeGC(m_connection->display(), m_gc);
        m_gc = nullptr;
        qx::log::DbgviewLog(5, std::string("m_gc->Release()"));
    }
    m_connection.reset();
    m_visual = nullptr;
    m_pixelFormat = 0;
    m_initialised = false;
    qx::log::DbgviewLog(3, std::string("4311,CDDrawDisplay::DDrawDispDone Exec Info"));
}

bool CDDrawDisplay::DDrawUpdateDisp(unsigned char* planes[3], const int strides[3], int width,
                                    int height, QxWindow window, const RenderPoint* topLeft,
                                    const RenderPoint* bottomRight) {
    try {
        if (planes == nullptr || strides == nullptr || planes[0] == nullptr ||
            planes[1] == nullptr || planes[2] == nullptr || width <= 0 || height <= 0)
            return false;
        if (m_connection) {
            int screenW = 0;
            int screenH = 0;
            if (m_connection->ScreenSize(m_window, &screenW, &screenH)) {
                if (m_screenWidth == 0 || m_screenHeight == 0) {
                    m_screenWidth = screenW;
                    m_screenHeight = screenH;
                } else if (screenW != m_screenWidth && screenH != m_screenHeight) {
                    if (DDrawDispReinit(m_window, m_pictureWidth, m_pictureHeight, m_sid) == 0)
                        return false;
                    m_screenWidth = screenW;
                    m_screenHeight = screenH;
                }
            }
        }
        if (window != m_window) {
            if (DDrawDispReinit(window, width, height, 0) == 0) {
                qx::log::DbgviewLog(115, std::string("DDrawDispReinit fail"));
                return false;
            }
        }
        if (m_pictureWidth < width || m_pictureHeight < height) {
            qx::log::DbgviewLog(115, std::string("resolution is diff"));
            if (DDrawDispReinit(m_window, width, height, m_sid) == 0)
                return false;
        }
        // A renderer left without surfaces by a failed rebuild tries again, so that it
        // recovers as soon as the window can be drawn into again.
        if (!m_initialised &&
            DDrawDispReinit(m_window, m_pictureWidth, m_pictureHeight, m_sid) == 0)
            return false;
        if (!m_image || m_image->image() == nullptr) {
            qx::log::DbgviewLog(5, "4509,CDDrawDisplay::DDrawUpdateDisp lock overlay Error");
            return false;
        }
        if (!Convert(planes, strides, width, height))
            return false;

        int left = 0;
        int top = 0;
        int right = width;
        int bottom = height;
        const bool whole =
            topLeft == nullptr || bottomRight == nullptr ||
            (topLeft->x == 0 && topLeft->y == 0 && bottomRight->x == 0 && bottomRight->y == 0);
        if (!whole) {
            left = std::clamp(topLeft->x, 0, width);
            top = std::clamp(topLeft->y, 0, height);
            right = std::clamp(bottomRight->x, 0, width);
            bottom = std::clamp(bottomRight->y, 0, height);
        }
        if (right <= left || bottom <= top)
            return false;
        if (!Blit(left, top, right - left, bottom - top)) {
            qx::log::DbgviewLog(5, "4517,CDDrawDisplay::DDrawUpdateDisp Bit Primary Screen Error");
            return false;
        }
        return true;
    } catch (...) {
        qx::log::DbgviewLog(5, "4511,CDDrawDisplay::DDrawUpdateDisp unknown Error");
        return false;
    }
}

bool CDDrawDisplay::Convert(unsigned char* planes[3], const int strides[3], int width, int height) {
    XImage* image = m_image->image();
    // The overlap of picture and surface: a smaller picture is never read past its
    // own planes, and the surface's pitch, not its width, steps the rows. A larger
    // picture has rebuilt the surface by now, so the overlap is always whole rows.
    const int w = std::min(width, m_image->width());
    const int h = std::min(height, m_image->height());
    uint8_t* surface = reinterpret_cast<uint8_t*>(image->data);
    switch (m_pixelFormat) {
        case kPixFmtRgb565:
            qx::YuvToRgb565(planes[0], strides[0], planes[1], strides[1], planes[2], strides[2],
                            {surface, image->bytes_per_line, w, h});
            return true;
        case kPixFmtRgb32:
            qx::YuvToRgb32(planes[0], strides[0], planes[1], strides[1], planes[2], strides[2],
                           {surface, image->bytes_per_line, w, h});
            return true;
        default:
            qx::log::DbgviewLog(115, "unkonw pix format %d", m_pixelFormat);
            return false;
    }
}

bool CDDrawDisplay::Blit(int sourceLeft, int sourceTop, int sourceWidth, int sourceHeight) {
    XWindowAttributes attributes;
    if (!m_connection->WindowAttributes(m_window, &attributes))
        return false;
    const int clientWidth = attributes.width;
    const int clientHeight = attributes.height;
    if (clientWidth <= 0 || clientHeight <= 0)
        return false;
    if (clientWidth == sourceWidth && clientHeight == sourceHeight)
        return m_image->Put(m_window, m_gc, sourceLeft, sourceTop, 0, 0, sourceWidth, sourceHeight);
    if (!m_stretched || m_stretched->width() != clientWidth ||
        m_stretched->height() != clientHeight) {
        m_stretched = std::make_unique<qx::ShmImage>();
        if (!m_stretched->Create(*m_connection, m_visual, m_depth, clientWidth, clientHeight)) {
            m_stretched.reset();
            return false;
        }
    }
    const XImage& source = *m_image->image();
    XImage& destination = *m_stretched->image();
    if (source.bits_per_pixel == 32)
        Stretch<uint32_t>(source, sourceLeft, sourceTop, sourceWidth, sourceHeight, destination);
    else
        Stretch<uint16_t>(source, sourceLeft, sourceTop, sourceWidth, sourceHeight, destination);
    return m_stretched->Put(m_window, m_gc, 0, 0, 0, 0, clientWidth, clientHeight);
}
