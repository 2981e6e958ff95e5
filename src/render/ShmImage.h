#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

namespace qx {

class XConnection;

// A client-side image at a window's depth, in shared memory when the server offers
// it (no copy through the socket), in ordinary memory otherwise.
class ShmImage {
  public:
    ShmImage() = default;
    ~ShmImage();
    ShmImage(const ShmImage&) = delete;
    ShmImage& operator=(const ShmImage&) = delete;

    bool Create(XConnection& connection, Visual* visual, int depth, int width, int height);
    void Destroy();
    bool Put(unsigned long window, GC gc, int sourceX, int sourceY, int x, int y, int width,
             int height);

    XImage* image() const { return m_image; }
    int width() const { return m_image ? m_image->width : 0; }
    int height() const { return m_image ? m_image->height : 0; }

  private:
    XConnection* m_connection = nullptr;
    XImage* m_image = nullptr;
    XShmSegmentInfo m_segment{};
    bool m_shared = false;
};

}  // namespace qx
