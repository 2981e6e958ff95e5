#include "log/Log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "platform/DbgViewChannel.h"
#include "platform/Event.h"

namespace qx::log {

namespace {

// "调试级别(" in GBK, the prefix of every string-form line.
constexpr char kLevelPrefix[] = "\xB5\xF7\xCA\xD4\xBC\xB6\xB1\xF0(";

// Level names in GBK; "★" is A1 EF.
const char* LevelName(int level) {
    switch (level) {
        case 0:
            return "ver,";
        case 1:
            return "\xA1\xEFTrace,";
        case 2:
            return "\xA1\xEF\xA1\xEF"
                   "Debug,";
        case 3:
            return "\xA1\xEF\xA1\xEF\xA1\xEFInfo,";
        case 4:
            return "\xA1\xEF\xA1\xEF\xA1\xEF\xA1\xEFWarn,";
        case 5:
            return "\xA1\xEF\xA1\xEF\xA1\xEF\xA1\xEF\xA1\xEF"
                   "Error,";
        case 6:
            return "\xA1\xEF\xA1\xEF\xA1\xEF\xA1\xEF\xA1\xEF\xA1\xEF"
                   "Fatal,";
        default:
            return "unknown,";
    }
}

std::string TwoDigits(int v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d", v);
    return buf;
}

}  // namespace

std::string ComposeLogLine(int level, const std::string& message) {
    std::string line = kLevelPrefix;
    line += std::to_string(level);
    line += ")=";
    line += LevelName(level);
    line += ',';
    line += message;
    return line;
}

void DbgviewLog(int level, std::string message) {
    if (level >= 1 && level <= 99)
        return;
    const std::string line = ComposeLogLine(level, message);
    qx::DbgViewSend(line.data(), line.size());
}

void DbgviewLog(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    DbgviewLogV(level, format, args);
    va_end(args);
}

void DbgviewLogV(int level, const char* format, va_list args) {
    if (level < 80)
        return;
    // A buffer per call: concurrent callers never share one.
    char buf[1024];
    const int n = format != nullptr ? std::vsnprintf(buf, sizeof buf, format, args) : -1;
    if (n < 0) {
        static const char kInvalid[] = "DebugHelper:Invalid string format!";
        qx::DbgViewSend(kInvalid, sizeof kInvalid - 1);
        return;
    }
    const size_t len =
        static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1;
    qx::DbgViewSend(buf, len);
}

void UpdateLog(int level, std::string message) {
    DbgviewLog(level, std::move(message));
}

std::string ForamtTime(int64_t seconds, int selector) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm local {};
    if (static_cast<int64_t>(t) != seconds || localtime_r(&t, &local) == nullptr) {
        return std::string();
    }
    const std::string date = std::to_string(local.tm_year + 1900) + "-" +
                             TwoDigits(local.tm_mon + 1) + "-" + TwoDigits(local.tm_mday);
    const std::string time =
        TwoDigits(local.tm_hour) + ":" + TwoDigits(local.tm_min) + ":" + TwoDigits(local.tm_sec);
    if (selector == 1)
        return date;
    if (selector == 2)
        return time;
    return date + " " + time;
}

int64_t GetUs(int64_t start, int64_t end, int64_t frequency, bool inMs) {
    if (frequency <= 0 || end <= start)
        return 0;
    // A 128-bit intermediate: counter spans times 10^6 overflow 64 bits after hours.
    const __int128 diff = static_cast<__int128>(end) - start;
    const __int128 scale = inMs ? 1000 : 1000000;
    const __int128 result = diff * scale / frequency;
    return result > INT64_MAX ? INT64_MAX : static_cast<int64_t>(result);
}

void MSleep(long ms) {
    if (ms < 1)
        return;
    qx::Event never;
    never.Wait(ms);
}

bool PrintHeart(long earlierTick, long currentTick) {
    // Ticks are 32-bit milliseconds; unsigned subtraction crosses the wrap.
    const uint32_t elapsed =
        static_cast<uint32_t>(currentTick) - static_cast<uint32_t>(earlierTick);
    return elapsed > 3000;
}

}  // namespace qx::log
