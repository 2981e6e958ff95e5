#include "platform/XConnection.h"

#include <atomic>
#include <map>
#include <mutex>

namespace qx {

namespace {

std::mutex& ErrorsMutex() {
    static std::mutex mutex;
    return mutex;
}

// Errors seen per connection of ours.
std::map<Display*, int>& Errors() {
    static std::map<Display*, int> errors;
    return errors;
}

std::atomic<XErrorHandler> g_previous{nullptr};

int RecordError(Display* display, XErrorEvent* event) {
    {
        std::lock_guard<std::mutex> lock(ErrorsMutex());
        auto it = Errors().find(display);
        if (it != Errors().end()) {
            ++it->second;
            return 0;
        }
    }
    const XErrorHandler previous = g_previous.load();
    return previous != nullptr ? previous(display, event) : 0;
}

// Checked at every new connection: a host toolkit that installed its own handler
// after ours is chained to, and ours goes back in front of it.
void InstallHandler() {
    std::lock_guard<std::mutex> lock(ErrorsMutex());
    const XErrorHandler previous = XSetErrorHandler(&RecordError);
    if (previous != &RecordError)
        g_previous = previous;
}

}  // namespace

XConnection::XConnection() = default;

XConnection::~XConnection() {
    if (m_display == nullptr)
        return;
    XSync(m_display, False);
    {
        std::lock_guard<std::mutex> lock(ErrorsMutex());
        Errors().erase(m_display);
    }
    XCloseDisplay(m_display);
}

bool XConnection::Open() {
    if (m_display != nullptr)
        return true;
    InstallHandler();
    m_display = XOpenDisplay(nullptr);
    if (m_display == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(ErrorsMutex());
    Errors()[m_display] = 0;
    return true;
}

int XConnection::Sync() {
    if (m_display == nullptr)
        return 0;
    XSync(m_display, False);
    std::lock_guard<std::mutex> lock(ErrorsMutex());
    int& count = Errors()[m_display];
    const int seen = count;
    count = 0;
    return seen;
}

bool XConnection::WindowAttributes(unsigned long window, XWindowAttributes* attributes) {
    if (m_display == nullptr || window == 0)
        return false;
    Sync();
    const Status status = XGetWindowAttributes(m_display, window, attributes);
    return Sync() == 0 && status != 0;
}

bool XConnection::IsWindow(unsigned long window) {
    XWindowAttributes attributes;
    return WindowAttributes(window, &attributes);
}

bool XConnection::WindowGeometry(unsigned long window, int* rootX, int* rootY, int* width,
                                 int* height) {
    XWindowAttributes attributes;
    if (!WindowAttributes(window, &attributes))
        return false;
    Window child = 0;
    const Bool same =
        XTranslateCoordinates(m_display, window, attributes.root, 0, 0, rootX, rootY, &child);
    if (Sync() != 0 || !same)
        return false;
    *width = attributes.width;
    *height = attributes.height;
    return true;
}

bool XConnection::ClearWindow(unsigned long window) {
    if (!IsWindow(window))
        return false;
    XClearArea(m_display, window, 0, 0, 0, 0, True);
    return Sync() == 0;
}

bool XConnection::ScreenSize(unsigned long window, int* width, int* height) {
    if (m_display == nullptr)
        return false;
    Window root = DefaultRootWindow(m_display);
    XWindowAttributes attributes;
    if (window != 0 && WindowAttributes(window, &attributes))
        root = attributes.root;
    // Asked of the server each time: the screen's size as Xlib cached it at connection
    // time misses every later mode change.
    Window ignoredRoot = 0;
    int x = 0;
    int y = 0;
    unsigned w = 0;
    unsigned h = 0;
    unsigned border = 0;
    unsigned depth = 0;
    const Status status =
        XGetGeometry(m_display, root, &ignoredRoot, &x, &y, &w, &h, &border, &depth);
    if (Sync() != 0 || status == 0)
        return false;
    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
    return true;
}

}  // namespace qx
