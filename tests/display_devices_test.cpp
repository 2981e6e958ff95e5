// The device list: which monitor a rectangle belongs to, and what start-up and
// shut-down do to the list.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <optional>

#include "qxplaylib.h"
#include "render/DisplayDevices.h"

namespace {

class DisplayDevices : public testing::Test {
  protected:
    void SetUp() override { qx::ReleaseDisplayDevices(); }
    void TearDown() override { qx::ReleaseDisplayDevices(); }
};

void AddMonitor(uint32_t tag, int left, int top, int right, int bottom) {
    qx::MonitorInfo info;
    info.rcMonitor = {left, top, right, bottom};
    info.rcWork = info.rcMonitor;
    qx::QxGuid guid;
    guid.data1 = tag;
    qx::DDEnumCallbackEx(tag != 0 ? &guid : nullptr, "monitor", "DP", nullptr, &info);
}

TEST_F(DisplayDevices, ARectangleBelongsToTheMonitorHoldingItsCentre) {
    // As an enumeration reports them: the driver without a monitor, two monitors side by
    // side, and one below them that has no GUID.
    qx::DDEnumCallbackEx(nullptr, "Primary Display Driver", "display", nullptr, nullptr);
    AddMonitor(1, 0, 0, 1920, 1080);
    AddMonitor(2, 1920, 0, 3840, 1080);
    AddMonitor(0, 100, 2000, 1380, 3024);
    struct Case {
        qx::ScreenRect rect;
        std::optional<uint32_t> guid;  // none: the default device
        qx::ScreenRect onMonitor;
    };
    const Case cases[] = {
        {{2000, 100, 2640, 580}, 2, {80, 100, 720, 580}},
        {{1000, 0, 2400, 100}, 1, {1000, 0, 2400, 100}},  // mostly, and its centre, on the left
        {{1900, 10, 1940, 20}, 2, {-20, 10, 20, 20}},     // on the border: enumerated later wins
        // Off every monitor; on the one without a GUID, yet relative to it.
        {{5000, 5000, 5100, 5100}, std::nullopt, {5000, 5000, 5100, 5100}},
        {{150, 2050, 250, 2150}, std::nullopt, {50, 50, 150, 150}},
    };
    for (const Case& c : cases) {
        const auto guid = qx::DeviceGuidForRect(c.rect);
        EXPECT_EQ(guid ? std::optional(guid->data1) : std::nullopt, c.guid)
            << c.rect.left << "," << c.rect.top;
        qx::ScreenRect rect = c.rect;
        qx::ToMonitorRect(&rect);
        EXPECT_EQ(
            (std::array{rect.left, rect.top, rect.right, rect.bottom}),
            (std::array{c.onMonitor.left, c.onMonitor.top, c.onMonitor.right, c.onMonitor.bottom}))
            << c.rect.left << "," << c.rect.top;
    }
}

TEST_F(DisplayDevices, StartUpAgainDoesNotStackASecondListAndShutDownFreesIt) {
    ASSERT_EQ(QxPlay_Init(), 1);
    const int count = qx::DisplayDeviceCount();
    // The default driver, plus one per monitor when there is a display.
    EXPECT_GE(count, std::getenv("DISPLAY") != nullptr ? 2 : 1);
    QxPlay_Destory();
    EXPECT_EQ(qx::DisplayDeviceCount(), 0);
    ASSERT_EQ(QxPlay_Init(), 1);
    EXPECT_EQ(qx::DisplayDeviceCount(), count);
    qx::EnumerateDisplayDevices();
    EXPECT_EQ(qx::DisplayDeviceCount(), count);
    QxPlay_Destory();
}

}  // namespace
