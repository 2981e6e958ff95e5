#include "render/ShmImage.h"

#include <X11/Xutil.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdlib>

#include "platform/XConnection.h"

namespace qx {

ShmImage::~ShmImage() {
    Destroy();
}

bool ShmImage::Create(XConnection& connection, Visual* visual, int depth, int width, int height) {
    Destroy();
    m_connection = &connection;
    Display* display = connection.display();
    if (display == nullptr || width <= 0 || height <= 0)
        return false;
    if (XShmQueryExtension(display)) {
        m_image = XShmCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap, nullptr,
                                  &m_segment, static_cast<unsigned>(width),
                                  static_cast<unsigned>(height));
        if (m_image != nullptr) {
            m_segment.shmid =
                shmget(IPC_PRIVATE, static_cast<size_t>(m_image->bytes_per_line) * height,
                       IPC_CREAT | 0600);
            if (m_segment.shmid >= 0) {
                m_segment.shmaddr = static_cast<char*>(shmat(m_segment.shmid, nullptr, 0));
                m_image->data = m_segment.shmaddr;
                m_segment.readOnly = False;
                connection.Sync();
                XShmAttach(display, &m_segment);
                // Removed now, so that it goes when both sides detach, whatever happens.
                const bool attached = connection.Sync() == 0;
                shmctl(m_segment.shmid, IPC_RMID, nullptr);
                if (attached && m_segment.shmaddr != reinterpret_cast<char*>(-1)) {
                    m_shared = true;
                    return true;
                }
                if (m_segment.shmaddr != reinterpret_cast<char*>(-1))
                    shmdt(m_segment.shmaddr);
            }
            m_image->data = nullptr;
            XDestroyImage(m_image);
            m_image = nullptr;
        }
    }
    // A remote or restricted server: an ordinary image, sent with each put.
    m_image = XCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap, 0, nullptr,
                           static_cast<unsigned>(width), static_cast<unsigned>(height), 32, 0);
    if (m_image == nullptr)
        return false;
    m_image->data =
        static_cast<char*>(std::malloc(static_cast<size_t>(m_image->bytes_per_line) * height));
    if (m_image->data == nullptr) {
        XDestroyImage(m_image);
        m_image = nullptr;
        return false;
    }
    return true;
}

void ShmImage::Destroy() {
    if (m_image == nullptr)
        return;
    if (m_shared) {
        XShmDetach(m_connection->display(), &m_segment);
        m_connection->Sync();
        shmdt(m_segment.shmaddr);
        m_image->data = nullptr;
    }
    XDestroyImage(m_image);
    m_image = nullptr;
    m_shared = false;
}

bool ShmImage::Put(unsigned long window, GC gc, int sourceX, int sourceY, int x, int y, int width,
                   int height) {
    if (m_image == nullptr)
        return false;
    Display* display = m_connection->display();
    if (m_shared) {
        XShmPutImage(display, window, gc, m_image, sourceX, sourceY, x, y,
                     static_cast<unsigned>(width), static_cast<unsigned>(height), False);
    } else {
        XPutImage(display, window, gc, m_image, sourceX, sourceY, x, y,
                  static_cast<unsigned>(width), static_cast<unsigned>(height));
    }
    // The image is written again for the next picture: the server must be done with it.
    return m_connection->Sync() == 0;
}

}  // namespace qx
