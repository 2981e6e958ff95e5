#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <thread>

// A mapped top-level window on the test display (Xvfb under the test script) and a
// way to read back what is on it.
class XTestWindow {
  public:
    XTestWindow(int width, int height) {
        m_display = XOpenDisplay(nullptr);
        if (m_display == nullptr)
            return;
        const int screen = DefaultScreen(m_display);
        m_window = XCreateSimpleWindow(m_display, RootWindow(m_display, screen), 0, 0,
                                       static_cast<unsigned>(width), static_cast<unsigned>(height),
                                       0, 0, BlackPixel(m_display, screen));
        XSelectInput(m_display, m_window, StructureNotifyMask);
        XMapWindow(m_display, m_window);
        XEvent event;
        do
            XNextEvent(m_display, &event);
        while (event.type != MapNotify);
        XSync(m_display, False);
    }
    ~XTestWindow() {
        if (m_display == nullptr)
            return;
        Destroy();
        XCloseDisplay(m_display);
    }
    XTestWindow(const XTestWindow&) = delete;
    XTestWindow& operator=(const XTestWindow&) = delete;

    bool ok() const { return m_display != nullptr; }
    unsigned long id() const { return m_window; }

    void Resize(int width, int height) {
        XResizeWindow(m_display, m_window, static_cast<unsigned>(width),
                      static_cast<unsigned>(height));
        XSync(m_display, False);
    }
    void Destroy() {
        if (m_window != 0)
            XDestroyWindow(m_display, m_window);
        XSync(m_display, False);
        m_window = 0;
    }

    // R, G, B of one window pixel.
    std::array<int, 3> Pixel(int x, int y) {
        XImage* image = XGetImage(m_display, m_window, x, y, 1, 1, AllPlanes, ZPixmap);
        if (image == nullptr)
            return {-1, -1, -1};
        const unsigned long pixel = XGetPixel(image, 0, 0);
        const Visual* visual = DefaultVisual(m_display, DefaultScreen(m_display));
        const std::array<int, 3> rgb = {Channel(pixel, visual->red_mask),
                                        Channel(pixel, visual->green_mask),
                                        Channel(pixel, visual->blue_mask)};
        XDestroyImage(image);
        return rgb;
    }

  private:
    static int Channel(unsigned long pixel, unsigned long mask) {
        const int shift = __builtin_ctzl(mask);
        const unsigned long value = (pixel & mask) >> shift;
        const unsigned long max = mask >> shift;
        return static_cast<int>(value * 255 / max);
    }

    Display* m_display = nullptr;
    Window m_window = 0;
};
