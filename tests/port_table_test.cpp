#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "qxplaylib.h"
#include "support/LogCapture.h"

namespace {

class PortTable : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(QxPlay_Init(), 1); }
    void TearDown() override { QxPlay_Destory(); }
};

TEST(PortTableNotInitialised, ExportsAnswerTheirNotInitialisedValues) {
    QxPlay_Destory();
    int32_t port = 7;
    EXPECT_EQ(QxPlay_GetPort(&port), 0);
    EXPECT_EQ(port, 7);
    EXPECT_EQ(QxPlay_GetLastError(0), -1);
    EXPECT_EQ(QxPlay_FreePort(0), 0);
    EXPECT_EQ(QxPlay_GetStreamOpenMode(0), 0);
    EXPECT_EQ(QxPlay_GetPlayStatus(0), -19);
    uint8_t byte = 0;
    EXPECT_EQ(QxPlay_InputData(0, &byte, 1), 0);
    EXPECT_EQ(QxPlay_GetSdkVersion(), 1852);
}

TEST_F(PortTable, InitTwiceCreatesNothingNew) {
    int32_t port = -1;
    ASSERT_EQ(QxPlay_GetPort(&port), 1);
    EXPECT_EQ(QxPlay_Init(), 1);
    EXPECT_EQ(QxPlay_GetLastError(port), 0);
    EXPECT_EQ(QxPlay_FreePort(port), 1);
}

TEST_F(PortTable, RoundRobinSkipsFreedNumbersUntilTheWrap) {
    int32_t ports[5];
    for (auto& p : ports)
        ASSERT_EQ(QxPlay_GetPort(&p), 1);
    for (int i = 1; i < 5; ++i)
        EXPECT_EQ(ports[i], (ports[0] + i) % 200);
    ASSERT_EQ(QxPlay_FreePort(ports[2]), 1);
    int32_t next = -1;
    ASSERT_EQ(QxPlay_GetPort(&next), 1);
    EXPECT_EQ(next, (ports[4] + 1) % 200);
    EXPECT_EQ(QxPlay_GetLastError(ports[2]), -1);
    EXPECT_EQ(QxPlay_GetLastError(next), 0);
    EXPECT_EQ(QxPlay_FreePort(ports[2]), 0);
}

TEST_F(PortTable, TwoHundredPortsThenFullThenTheFreedOne) {
    std::vector<int32_t> ports(200);
    for (auto& p : ports)
        ASSERT_EQ(QxPlay_GetPort(&p), 1);
    EXPECT_EQ(std::set<int32_t>(ports.begin(), ports.end()).size(), 200u);
    int32_t extra = -5;
    EXPECT_EQ(QxPlay_GetPort(&extra), 0);
    EXPECT_EQ(extra, -5);
    ASSERT_EQ(QxPlay_FreePort(ports[123]), 1);
    ASSERT_EQ(QxPlay_GetPort(&extra), 1);
    EXPECT_EQ(extra, ports[123]);
}

TEST_F(PortTable, NullOutPointerTakesNoPort) {
    EXPECT_EQ(QxPlay_GetPort(nullptr), 0);
    std::vector<int32_t> ports(200);
    for (auto& p : ports)
        ASSERT_EQ(QxPlay_GetPort(&p), 1);
}

TEST_F(PortTable, DestoryFreesEveryPort) {
    int32_t a, b;
    ASSERT_EQ(QxPlay_GetPort(&a), 1);
    ASSERT_EQ(QxPlay_GetPort(&b), 1);
    LogCapture capture;
    QxPlay_Destory();
    EXPECT_EQ(QxPlay_GetLastError(a), -1);
    EXPECT_EQ(QxPlay_GetStreamOpenMode(b), 0);
    const auto texts = capture.Texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "QxPlay_Destory ipc");
    QxPlay_Destory();
    ASSERT_EQ(QxPlay_Init(), 1);
    EXPECT_EQ(QxPlay_GetLastError(a), -1);
}

TEST(PortTableLog, InitSendsItsIpcLine) {
    QxPlay_Destory();
    LogCapture capture;
    ASSERT_EQ(QxPlay_Init(), 1);
    ASSERT_EQ(QxPlay_Init(), 1);
    const auto texts = capture.Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "QxPlay_Init ipc");
    QxPlay_Destory();
}

TEST_F(PortTable, OpenModes) {
    int32_t port;
    ASSERT_EQ(QxPlay_GetPort(&port), 1);
    EXPECT_EQ(QxPlay_GetStreamOpenMode(port), 0);
    EXPECT_EQ(QxPlay_SetStreamOpenMode(port, 1), 1);
    EXPECT_EQ(QxPlay_SetStreamOpenMode(port, 4), 0);
    EXPECT_EQ(QxPlay_GetStreamOpenMode(port), 1);
    EXPECT_EQ(QxPlay_SetStreamOpenMode(port, -1), 0);
    EXPECT_EQ(QxPlay_GetStreamOpenMode(port + 1000), -1);
    EXPECT_EQ(QxPlay_SetStreamOpenMode(port + 1000, 1), 0);
}

// Hosts call exports from many threads while another shuts the library down; none
// of them may crash, and every answer must be one of the documented ones.
TEST(PortTableConcurrency, GetFreeAndDestoryFromManyThreads) {
    std::atomic<bool> stop{false};
    std::atomic<int> badAnswers{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&] {
            while (!stop) {
                int32_t port = -1;
                if (QxPlay_GetPort(&port) == 1) {
                    uint8_t chunk[16] = {};
                    QxPlay_InputData(port, chunk, sizeof chunk);
                    const int err = QxPlay_GetLastError(port);
                    if (err != 0 && err != -1)
                        ++badAnswers;
                    const int freed = QxPlay_FreePort(port);
                    if (freed != 0 && freed != 1)
                        ++badAnswers;
                }
            }
        });
    }
    for (int round = 0; round < 50; ++round) {
        ASSERT_EQ(QxPlay_Init(), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        QxPlay_Destory();
    }
    stop = true;
    for (auto& w : workers)
        w.join();
    EXPECT_EQ(badAnswers.load(), 0);
}

}  // namespace
