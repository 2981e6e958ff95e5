#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>

#include "api/RecH264Data.h"
#include "support/LogCapture.h"

namespace {

const std::string kPrefix = "\xB5\xF7\xCA\xD4\xBC\xB6\xB1\xF0(";

TEST(LogFilter, StringFormDeliversOnlyOutsideOneToNinetyNine) {
    LogCapture capture;
    RecH264Data::DbgviewLog(3, std::string("hidden"));
    RecH264Data::DbgviewLog(99, std::string("hidden"));
    RecH264Data::DbgviewLog(1, std::string("hidden"));
    RecH264Data::DbgviewLog(100, std::string("msg100"));
    RecH264Data::DbgviewLog(0, std::string("msg0"));
    RecH264Data::DbgviewLog(-4, std::string("neg"));
    const auto lines = capture.Drain();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, kPrefix + "100)=unknown,,msg100");
    EXPECT_EQ(lines[1].text, kPrefix + "0)=ver,,msg0");
    EXPECT_EQ(lines[2].text, kPrefix + "-4)=unknown,,neg");
    EXPECT_EQ(lines[0].pid, static_cast<uint32_t>(::getpid()));
}

TEST(LogFilter, FormatFormDeliversFromEighty) {
    LogCapture capture;
    RecH264Data::DbgviewLog(0, "hidden %d", 1);
    RecH264Data::DbgviewLog(79, "hidden %d", 1);
    RecH264Data::DbgviewLog(85, "D3DCreate g_D3DCount=%d", 2);
    RecH264Data::DbgviewLog(8115, "%s", "x");
    const auto texts = capture.Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "D3DCreate g_D3DCount=2");
    EXPECT_EQ(texts[1], "x");
}

TEST(LogLine, LevelNamesInGbk) {
    EXPECT_EQ(RecH264Data::ComposeLogLine(3, "m"), kPrefix + "3)=\xA1\xEF\xA1\xEF\xA1\xEFInfo,,m");
    EXPECT_EQ(RecH264Data::ComposeLogLine(6, "m"),
              kPrefix +
                  "6)=\xA1\xEF\xA1\xEF\xA1\xEF\xA1\xEF\xA1\xEF\xA1\xEF"
                  "Fatal,,m");
    EXPECT_EQ(RecH264Data::ComposeLogLine(7, "m"), kPrefix + "7)=unknown,,m");
}

TEST(LogLine, LongFormattedLinesAreCutAt1023) {
    LogCapture capture;
    const std::string big(5000, 'x');
    RecH264Data::DbgviewLog(115, "%s", big.c_str());
    const auto texts = capture.Texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], std::string(1023, 'x'));
}

TEST(LogLine, ConcurrentFormatCallersNeverMixTheirLines) {
    LogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            const std::string body(200, static_cast<char>('a' + t));
            for (int i = 0; i < 50; ++i)
                RecH264Data::DbgviewLog(115, "%d:%s", t, body.c_str());
        });
    }
    for (auto& th : threads)
        th.join();
    // A full viewer queue drops lines; those that arrive must be whole.
    const auto texts = capture.Texts();
    ASSERT_FALSE(texts.empty());
    for (const auto& text : texts) {
        const int t = text[0] - '0';
        EXPECT_EQ(text, std::to_string(t) + ":" + std::string(200, static_cast<char>('a' + t)));
    }
}

TEST(LogDelivery, NoListenerIsHarmless) {
    qx::SetDbgViewName("qxtest-nobody-listens");
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i)
        RecH264Data::DbgviewLog(115, "x");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    qx::SetDbgViewName("DbgView");
}

TEST(TimeUtils, GetUs) {
    EXPECT_EQ(RecH264Data::GetUs(0, 3000000, 3000000, false), 1000000);
    EXPECT_EQ(RecH264Data::GetUs(0, 3000000, 3000000, true), 1000);
    EXPECT_EQ(RecH264Data::GetUs(10, 5, 1000, false), 0);
    EXPECT_EQ(RecH264Data::GetUs(0, 100, 0, false), 0);
    // Ten days of nanoseconds times 10^6 would overflow a 64-bit product.
    const int64_t tenDays = 10LL * 86400 * 1000000000LL;
    EXPECT_EQ(RecH264Data::GetUs(0, tenDays, 1000000000LL, false), 10LL * 86400 * 1000000);
}

TEST(TimeUtils, PrintHeartAcrossTheWrap) {
    EXPECT_FALSE(RecH264Data::PrintHeart(1000, 4000));
    EXPECT_TRUE(RecH264Data::PrintHeart(1000, 4001));
    // The tick wrapped from 0xFFFFFF00 to 0x100: 512 ms passed.
    EXPECT_FALSE(RecH264Data::PrintHeart(static_cast<long>(0xFFFFFF00u), 0x100));
    EXPECT_TRUE(RecH264Data::PrintHeart(static_cast<long>(0xFFFFF000u), 0x1000));
}

TEST(TimeUtils, MSleepAndFormat) {
    const auto start = std::chrono::steady_clock::now();
    RecH264Data::MSleep(0);
    RecH264Data::MSleep(-5);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5));
    RecH264Data::MSleep(20);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(19));

    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(RecH264Data::ForamtTime(1332151200, 0), "2012-03-19 10:00:00");
    EXPECT_EQ(RecH264Data::ForamtTime(1332151200, 1), "2012-03-19");
    EXPECT_EQ(RecH264Data::ForamtTime(1332151200, 2), "10:00:00");
    EXPECT_EQ(RecH264Data::ForamtTime(1332151200, 7), RecH264Data::ForamtTime(1332151200, 0));
}

}  // namespace
