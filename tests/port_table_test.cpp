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
    static int32_t Take() {
        int32_t port = -1;
        EXPECT_EQ(QxPlay_GetPort(&port), 1);
        return port;
    }
};

TEST(PortTableNotInitialised, ExportsAnswerTheirNotInitialisedValues) {
    QxPlay_Destory();
    int32_t port = 7;
    EXPECT_EQ(QxPlay_GetPort(&port), 0);
    EXPECT_EQ(port, 7);
    EXPECT_EQ(QxPlay_FreePort(0), 0);
}

// A second Init keeps the ports; Destory frees every one of them, and a Destory of
// a library that is not running does nothing, not even log.
TEST_F(PortTable, InitAgainKeepsThePortsAndDestoryFreesThemAll) {
    const int32_t a = Take();
    const int32_t b = Take();
    LogCapture capture;
    EXPECT_EQ(QxPlay_Init(), 1);
    EXPECT_EQ(QxPlay_GetLastError(a), 0);
    QxPlay_Destory();
    EXPECT_EQ(QxPlay_GetLastError(a), -1);
    EXPECT_EQ(QxPlay_GetStreamOpenMode(b), 0);
    QxPlay_Destory();
    ASSERT_EQ(QxPlay_Init(), 1);
    EXPECT_EQ(QxPlay_GetLastError(a), -1);
    EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"QxPlay_Init ipc", "QxPlay_Destory ipc",
                                                         "QxPlay_Init ipc"}));
}

// Numbers go round, skipping freed ones until the wrap; a null out-pointer takes no
// port, so all 200 remain, and then none until one is freed.
TEST_F(PortTable, RoundRobinNumbersUpToAFullTable) {
    EXPECT_EQ(QxPlay_GetPort(nullptr), 0);
    std::vector<int32_t> ports = {Take(), Take(), Take(), Take(), Take()};
    for (int i = 1; i < 5; ++i)
        EXPECT_EQ(ports[i], (ports[0] + i) % 200);
    ASSERT_EQ(QxPlay_FreePort(ports[2]), 1);
    EXPECT_EQ(QxPlay_FreePort(ports[2]), 0);
    EXPECT_EQ(QxPlay_GetLastError(ports[2]), -1);
    ports[2] = Take();
    EXPECT_EQ(ports[2], (ports[4] + 1) % 200);
    EXPECT_EQ(QxPlay_GetLastError(ports[2]), 0);
    while (ports.size() < 200)
        ports.push_back(Take());
    EXPECT_EQ(std::set<int32_t>(ports.begin(), ports.end()).size(), 200u);
    int32_t extra = -5;
    EXPECT_EQ(QxPlay_GetPort(&extra), 0);
    EXPECT_EQ(extra, -5);
    ASSERT_EQ(QxPlay_FreePort(ports[123]), 1);
    EXPECT_EQ(Take(), ports[123]);
}

TEST_F(PortTable, OpenModes) {
    const int32_t port = Take();
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
                if (QxPlay_GetPort(&port) != 1)
                    continue;
                uint8_t chunk[16] = {};
                QxPlay_InputData(port, chunk, sizeof chunk);
                const int err = QxPlay_GetLastError(port);
                const int freed = QxPlay_FreePort(port);
                badAnswers += (err != 0 && err != -1) + (freed != 0 && freed != 1);
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
