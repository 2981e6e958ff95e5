#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "render/DisplayDevices.h"
#include "render/ShmImage.h"
#include "render/video_render.h"

namespace qx {
class XConnection;
}

// The plain X renderer: each picture is converted in software into an image at the
// window's depth and put into the window, stretched to its client area.
class CDDrawDisplay : public video_render {
  public:
    CDDrawDisplay();
    ~CDDrawDisplay() override;

    bool Init(QxWindow window, int width, int height) override;
    bool Render(unsigned char* planes[3], const int strides[3], int width, int height,
                QxWindow window, const RenderPoint* topLeft,
                const RenderPoint* bottomRight) override;
    void Close() override;
    void SetText(const char* text, int32_t reserved, bool enable) override {}
    void GetSize(int32_t& height, int32_t& width) override;

    // 1 on success, 0 on failure.
    int DDrawDispInit(QxWindow window, int width, int height, int sid);
    int DDrawDispReinit(QxWindow window, int width, int height, int sid);
    void DDrawDispDone();
    // True only when the picture reached the window.
    bool DDrawUpdateDisp(unsigned char* planes[3], const int strides[3], int width, int height,
                         QxWindow window, const RenderPoint* topLeft,
                         const RenderPoint* bottomRight);

    // 28 for 32-bit RGB (8/8/8), 37 for 16-bit RGB (5/6/5), 0 before a complete Init.
    int32_t pixelFormat() const { return m_pixelFormat; }

  private:
    bool ReadPixelFormat(int depth, Visual* visual);
    bool Convert(unsigned char* planes[3], const int strides[3], int width, int height);
    bool Blit(int sourceLeft, int sourceTop, int sourceWidth, int sourceHeight);

    bool m_initialised = false;
    bool m_imageMade = false;
    int32_t m_sid = -1;
    int32_t m_pictureWidth = 0;
    int32_t m_pictureHeight = 0;
    QxWindow m_window = 0;
    int32_t m_screenWidth = 0;
    int32_t m_screenHeight = 0;
    // The X connection, the graphics context that draws into the window (X clips to
    // its visible part) and the image the picture is converted into.
    std::unique_ptr<qx::XConnection> m_connection;
    GC m_gc = nullptr;
    std::unique_ptr<qx::ShmImage> m_image;
    // The stretch to the client area, kept between pictures of one window size.
    std::unique_ptr<qx::ShmImage> m_stretched;
    Visual* m_visual = nullptr;
    int m_depth = 0;
    std::optional<qx::QxGuid> m_deviceGuid;
    int32_t m_redBits = 0;
    int32_t m_greenBits = 0;
    int32_t m_blueBits = 0;
    int32_t m_alphaBits = 0;
    uint32_t m_rgbBitCount = 0;
    int32_t m_pixelFormat = 0;
};
