#pragma once

#include <epoxy/gl.h>
#include <epoxy/glx.h>

#include <cstdint>
#include <memory>

#include "render/video_render.h"

namespace qx {
class XConnection;
}

// The accelerated renderer: the three planes go into textures of one GL context on
// the host's window, a shader converts BT.601 and the quad stretches the source
// rectangle over the whole client area. Every failure or change (window, size,
// screen, lost context) rebuilds the context at the next picture.
class D3DRender : public video_render {
  public:
    // Result codes of the steps.
    static constexpr long kOk = 0;
    static constexpr long kPointer = static_cast<long>(0x80004003);
    static constexpr long kFail = static_cast<long>(0x80004005);
    static constexpr long kRefused = 1;
    static constexpr long kDeviceLost = static_cast<long>(0x88760868);
    static constexpr long kDeviceNotReset = static_cast<long>(0x88760869);
    static constexpr uint32_t kYv12 = 0x32315659;

    // Process-wide start-up: true when GL can be loaded at all.
    static bool InitD3DSDK();

    D3DRender();
    ~D3DRender() override;

    bool Init(QxWindow window, int width, int height) override;
    bool Render(unsigned char* planes[3], const int strides[3], int width, int height,
                QxWindow window, const RenderPoint* topLeft,
                const RenderPoint* bottomRight) override;
    void Close() override;
    void SetText(const char* text, int32_t reserved, bool enable) override;
    void GetSize(int32_t& height, int32_t& width) override;

    // The next picture finds the context lost, as after a driver reset.
    void MarkLost() { m_lost = true; }
    int32_t backBufferWidth() const { return m_backBufferWidth; }
    int32_t backBufferHeight() const { return m_backBufferHeight; }

  private:
    long CreateDevice(QxWindow window, int maxWidth, int maxHeight);
    long GetPresentParams(int maxWidth, int maxHeight);
    long InitScene();
    long CreateVideoSurface(int width, int height, uint32_t format);
    long RenderFrame(unsigned char* planes[3], const int strides[3], int width, int height,
                     QxWindow window, const RenderPoint* topLeft, const RenderPoint* bottomRight);
    long FillBuffer(unsigned char* planes[3], const int strides[3], int width, int height);
    long Draw(int width, int height, const RenderPoint* topLeft, const RenderPoint* bottomRight);
    long Reset();
    void Teardown();
    bool ClientSize(int* width, int* height);
    bool MakeCurrent();
    void ReleaseCurrent();

    // In place of the m_context: the connection and its context; of the video surface:
    // the three plane textures; of the vertex buffer: the converting program.
    std::unique_ptr<qx::XConnection> m_connection;
    GLXContext m_context = nullptr;
    bool m_doubleBuffered = false;
    GLuint m_planeTextures[3] = {0, 0, 0};
    GLuint m_program = 0;
    int32_t m_displayWidth = 0;
    int32_t m_displayHeight = 0;
    QxWindow m_window = 0;
    int32_t m_textureWidth = 0;
    int32_t m_textureHeight = 0;
    int32_t m_lastClientWidth = 0;
    int32_t m_lastClientHeight = 0;
    uint32_t m_textureFormat = kYv12;
    int32_t m_backBufferWidth = 0;
    int32_t m_backBufferHeight = 0;
    int32_t m_screenWidth = 0;
    int32_t m_screenHeight = 0;
    bool m_textEnabled = false;
    char m_text[128] = {};
    bool m_lost = false;
};

// True when GL contexts can be made on this display (checked once at start-up).
bool ProbeD3D();
