#pragma once

#include <cstdint>
#include <optional>

namespace qx {

class XConnection;

struct QxGuid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    uint8_t data4[8] = {};
};

// Screen rectangle: left and top inclusive, right and bottom exclusive.
struct ScreenRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
};

struct MonitorInfo {
    ScreenRect rcMonitor;
    ScreenRect rcWork;
    uint32_t flags = 0;  // 1: the primary monitor
    char deviceName[32] = {};
};

constexpr uint32_t kMonitorPrimary = 1;

// One display device: the default driver has neither a GUID nor a monitor; every
// monitor of the desktop comes with both.
struct DisplayDeviceNode {
    QxGuid guid;
    int32_t bGuidValid = 0;
    MonitorInfo monitorInfo;
    int32_t bMonitorInfo = 0;
};

// Adds one device in front of the list; always asks for more.
int DDEnumCallbackEx(const QxGuid* guid, const char* description, const char* name, void* context,
                     const MonitorInfo* monitor);

// Replaces the list with the devices of the desktop (the default driver, then each
// XRandR monitor); only the default driver without a display.
void EnumerateDisplayDevices();
// Frees the list.
void ReleaseDisplayDevices();
int DisplayDeviceCount();

// The GUID of the device whose monitor holds the window's centre; none for the
// default device (no window, no monitor, or a monitor without GUID).
std::optional<QxGuid> GetWindowDeviceGuid(XConnection& connection, unsigned long window);
std::optional<QxGuid> DeviceGuidForRect(const ScreenRect& rect);

// Makes a screen rectangle relative to the monitor that holds its centre.
void ToMonitorRect(ScreenRect* rect);

}  // namespace qx
