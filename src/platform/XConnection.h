#pragma once

#include <X11/Xlib.h>

#include <cstdint>

namespace qx {

// One X connection of the library's own, with errors caught instead of ending the
// process: a host's stale or foreign window id must never take the host down. The
// library's error handler serves only its own connections and hands every other
// error to the handler that was there before.
class XConnection {
  public:
    XConnection();
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    // False when no display can be opened (no DISPLAY, no server).
    bool Open();
    Display* display() const { return m_display; }

    // Waits until the server has handled every request and returns the number of
    // errors it reported for this connection since the last call.
    int Sync();

    // The window's attributes; false for an id that names no window.
    bool WindowAttributes(unsigned long window, XWindowAttributes* attributes);
    bool IsWindow(unsigned long window);
    // The window's client area: its top-left corner in root coordinates and its size.
    bool WindowGeometry(unsigned long window, int* rootX, int* rootY, int* width, int* height);
    // Clears the window to its background and has it repainted.
    bool ClearWindow(unsigned long window);
    // The size of the window's screen (the default screen when window is 0).
    bool ScreenSize(unsigned long window, int* width, int* height);

  private:
    Display* m_display = nullptr;
};

}  // namespace qx
