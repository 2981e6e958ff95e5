// The device list: which monitor a rectangle belongs to, and what start-up and
// shut-down do to the list.
#include <gtest/gtest.h>

#include <cstdlib>

#include "qxplaylib.h"
#include "render/DisplayDevices.h"

namespace {

qx::QxGuid Guid(uint32_t tag) {
    qx::QxGuid guid;
    guid.data1 = tag;
    return guid;
}

qx::MonitorInfo Monitor(int left, int top, int right, int bottom) {
    qx::MonitorInfo info;
    info.rcMonitor = {left, top, right, bottom};
    info.rcWork = info.rcMonitor;
    return info;
}

class DisplayDevices : public testing::Test {
  protected:
    void SetUp() override { qx::ReleaseDisplayDevices(); }
    void TearDown() override { qx::ReleaseDisplayDevices(); }

    // Two monitors side by side, 1920 wide each, as an enumeration reports them.
    void TwoMonitors() {
        qx::DDEnumCallbackEx(nullptr, "Primary Display Driver", "display", nullptr, nullptr);
        const qx::MonitorInfo left = Monitor(0, 0, 1920, 1080);
        const qx::MonitorInfo right = Monitor(1920, 0, 3840, 1080);
        const qx::QxGuid first = Guid(1);
        const qx::QxGuid second = Guid(2);
        qx::DDEnumCallbackEx(&first, "left", "DP-1", nullptr, &left);
        qx::DDEnumCallbackEx(&second, "right", "DP-2", nullptr, &right);
    }
};

TEST_F(DisplayDevices, ARectangleBelongsToTheMonitorHoldingItsCentre) {
    TwoMonitors();
    auto guid = qx::DeviceGuidForRect({2000, 100, 2640, 580});
    ASSERT_TRUE(guid.has_value());
    EXPECT_EQ(guid->data1, 2u);
    qx::ScreenRect rect{2000, 100, 2640, 580};
    qx::ToMonitorRect(&rect);
    EXPECT_EQ(rect.left, 80);
    EXPECT_EQ(rect.right, 720);
    EXPECT_EQ(rect.top, 100);

    // Mostly on the left monitor, centre still there.
    guid = qx::DeviceGuidForRect({1000, 0, 2400, 100});
    ASSERT_TRUE(guid.has_value());
    EXPECT_EQ(guid->data1, 1u);
}

TEST_F(DisplayDevices, ACentreOnTheBorderGoesToTheMonitorEnumeratedLater) {
    TwoMonitors();
    const auto guid = qx::DeviceGuidForRect({1900, 10, 1940, 20});
    ASSERT_TRUE(guid.has_value());
    EXPECT_EQ(guid->data1, 2u);
}

TEST_F(DisplayDevices, OffEveryMonitorMeansTheDefaultDeviceAndAnUnchangedRectangle) {
    TwoMonitors();
    EXPECT_FALSE(qx::DeviceGuidForRect({5000, 5000, 5100, 5100}).has_value());
    qx::ScreenRect rect{5000, 5000, 5100, 5100};
    qx::ToMonitorRect(&rect);
    EXPECT_EQ(rect.left, 5000);
    EXPECT_EQ(rect.bottom, 5100);
}

TEST_F(DisplayDevices, AMonitorWithoutGuidGivesTheDefaultDeviceButARelativeRectangle) {
    const qx::MonitorInfo only = Monitor(100, 200, 1380, 1224);
    qx::DDEnumCallbackEx(nullptr, "no guid", "X", nullptr, &only);
    EXPECT_FALSE(qx::DeviceGuidForRect({150, 250, 250, 350}).has_value());
    qx::ScreenRect rect{150, 250, 250, 350};
    qx::ToMonitorRect(&rect);
    EXPECT_EQ(rect.left, 50);
    EXPECT_EQ(rect.top, 50);
}

TEST_F(DisplayDevices, StartUpAgainDoesNotStackASecondListAndShutDownFreesIt) {
    ASSERT_EQ(QxPlay_Init(), 1);
    const int count = qx::DisplayDeviceCount();
    // The default driver, plus one per monitor when there is a display.
    EXPECT_GE(count, 1);
    if (std::getenv("DISPLAY") != nullptr)
        EXPECT_GE(count, 2);
    QxPlay_Destory();
    EXPECT_EQ(qx::DisplayDeviceCount(), 0);
    ASSERT_EQ(QxPlay_Init(), 1);
    EXPECT_EQ(qx::DisplayDeviceCount(), count);
    qx::EnumerateDisplayDevices();
    EXPECT_EQ(qx::DisplayDeviceCount(), count);
    QxPlay_Destory();
}

}  // namespace
