#include "render/DisplayDevices.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <cstring>
#include <forward_list>
#include <mutex>
#include <string>

#include "log/Log.h"
#include "platform/XConnection.h"

namespace qx {

namespace {

std::mutex& DevicesMutex() {
    static std::mutex mutex;
    return mutex;
}

// Head first: the device enumerated last comes first.
std::forward_list<DisplayDeviceNode>& g_pDisplayDevices() {
    static std::forward_list<DisplayDeviceNode> devices;
    return devices;
}

const char* OrNull(const char* text) {
    return text != nullptr ? text : "NULL";
}

// Caller holds DevicesMutex.
const DisplayDeviceNode* FindMonitor(const ScreenRect& rect) {
    const int32_t x = static_cast<int32_t>((static_cast<int64_t>(rect.left) + rect.right) / 2);
    const int32_t y = static_cast<int32_t>((static_cast<int64_t>(rect.top) + rect.bottom) / 2);
    for (const DisplayDeviceNode& node : g_pDisplayDevices()) {
        const ScreenRect& m = node.monitorInfo.rcMonitor;
        if (node.bMonitorInfo == 1 && m.left <= x && x <= m.right && m.top <= y && y <= m.bottom)
            return &node;
        qx::log::DbgviewLog(0, std::string("----------------------GetWindowDeviceGuid 1"));
    }
    return nullptr;
}

// A stable identity for a monitor of this desktop, from its output name.
QxGuid GuidForMonitor(const std::string& name, int index) {
    QxGuid guid;
    guid.data1 = 0x71786d6f;
    guid.data2 = static_cast<uint16_t>(index);
    guid.data3 = 0x5852;
    uint32_t hash = 2166136261u;
    for (unsigned char c : name)
        hash = (hash ^ c) * 16777619u;
    for (int i = 0; i < 4; ++i)
        guid.data4[i] = static_cast<uint8_t>(hash >> (8 * i));
    return guid;
}

void EnumerateMonitors() {
    XConnection connection;
    if (!connection.Open())
        return;
    Display* display = connection.display();
    int eventBase = 0;
    int errorBase = 0;
    if (!XRRQueryExtension(display, &eventBase, &errorBase))
        return;
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
    if (monitors == nullptr)
        return;
    for (int i = 0; i < count; ++i) {
        const XRRMonitorInfo& m = monitors[i];
        char* atomName = m.name != None ? XGetAtomName(display, m.name) : nullptr;
        const std::string name = atomName != nullptr ? atomName : "monitor";
        if (atomName != nullptr)
            XFree(atomName);
        MonitorInfo info;
        info.rcMonitor = {m.x, m.y, m.x + m.width, m.y + m.height};
        info.rcWork = info.rcMonitor;
        info.flags = m.primary ? kMonitorPrimary : 0;
        std::snprintf(info.deviceName, sizeof info.deviceName, "%s", name.c_str());
        const QxGuid guid = GuidForMonitor(name, i);
        DDEnumCallbackEx(&guid, name.c_str(), info.deviceName, nullptr, &info);
    }
    XRRFreeMonitors(monitors);
}

}  // namespace

int DDEnumCallbackEx(const QxGuid* guid, const char* description, const char* name, void* context,
                     const MonitorInfo* monitor) {
    const uintptr_t handle = reinterpret_cast<uintptr_t>(monitor);
    if (guid != nullptr) {
        qx::log::DbgviewLog(
            3,
            "[%08x-%04x-%04x-%02x%02x%02x%02x%02x%02x%02x%02x]DriverDescription = %s "
            "DriverName = %s hm = %x\n",
            guid->data1, guid->data2, guid->data3, guid->data4[0], guid->data4[1], guid->data4[2],
            guid->data4[3], guid->data4[4], guid->data4[5], guid->data4[6], guid->data4[7],
            OrNull(description), OrNull(name), static_cast<unsigned>(handle));
    } else {
        qx::log::DbgviewLog(4, "[NULL]DriverDescription = %s DriverName = %s hm = %x\n",
                            OrNull(description), OrNull(name), static_cast<unsigned>(handle));
    }
    DisplayDeviceNode node;
    if (monitor != nullptr) {
        const ScreenRect& m = monitor->rcMonitor;
        const ScreenRect& w = monitor->rcWork;
        qx::log::DbgviewLog(3, "rcMonitor = [%d, %d - %d, %d] rcWork = [%d, %d - %d, %d]\n", m.left,
                            m.top, m.right, m.bottom, w.left, w.top, w.right, w.bottom);
        node.monitorInfo = *monitor;
        node.bMonitorInfo = 1;
        qx::log::DbgviewLog(3, std::string("Set pNode.bMonitorInfo TRUE"));
    } else {
        qx::log::DbgviewLog(3, std::string("Set pNode.bMonitorInfo FALSE"));
    }
    if (guid != nullptr) {
        node.bGuidValid = 1;
        qx::log::DbgviewLog(3, std::string("Set pNode.bGuidValid TRUE"));
        node.guid = *guid;
    } else {
        qx::log::DbgviewLog(3, std::string("Set pNode.bGuidValid FALSE"));
    }
    std::lock_guard<std::mutex> lock(DevicesMutex());
    g_pDisplayDevices().push_front(node);
    return 1;
}

void EnumerateDisplayDevices() {
    // A second start-up must not stack a second set of devices on the first.
    ReleaseDisplayDevices();
    DDEnumCallbackEx(nullptr, "Primary Display Driver", "display", nullptr, nullptr);
    EnumerateMonitors();
}

void ReleaseDisplayDevices() {
    std::lock_guard<std::mutex> lock(DevicesMutex());
    g_pDisplayDevices().clear();
}

int DisplayDeviceCount() {
    std::lock_guard<std::mutex> lock(DevicesMutex());
    int count = 0;
    for (auto it = g_pDisplayDevices().begin(); it != g_pDisplayDevices().end(); ++it)
        ++count;
    return count;
}

std::optional<QxGuid> DeviceGuidForRect(const ScreenRect& rect) {
    std::lock_guard<std::mutex> lock(DevicesMutex());
    const DisplayDeviceNode* node = FindMonitor(rect);
    if (node == nullptr || node->bGuidValid != 1)
        return std::nullopt;
    return node->guid;
}

std::optional<QxGuid> GetWindowDeviceGuid(XConnection& connection, unsigned long window) {
    if (window == 0)
        return std::nullopt;
    qx::log::DbgviewLog(0, std::string("----------------------GetWindowDeviceGuid end"));
    std::optional<QxGuid> guid;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    if (connection.WindowGeometry(window, &x, &y, &width, &height))
        guid = DeviceGuidForRect({x, y, x + width, y + height});
    qx::log::DbgviewLog(0, std::string("----------------------GetWindowDeviceGuid end"));
    return guid;
}

void ToMonitorRect(ScreenRect* rect) {
    if (rect == nullptr)
        return;
    std::lock_guard<std::mutex> lock(DevicesMutex());
    const DisplayDeviceNode* node = FindMonitor(*rect);
    if (node == nullptr)
        return;
    rect->left -= node->monitorInfo.rcMonitor.left;
    rect->right -= node->monitorInfo.rcMonitor.left;
    rect->top -= node->monitorInfo.rcMonitor.top;
    rect->bottom -= node->monitorInfo.rcMonitor.top;
}

}  // namespace qx
