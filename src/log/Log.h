#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

// The diagnostic log and the time utilities every part of the library shares.
namespace qx::log {

// String form: levels 1..99 are discarded; 0, negative levels and levels of 100 and
// above are delivered with the level prefix and name.
void DbgviewLog(int level, std::string message);
// Format form: levels below 80 are discarded; the formatted text alone (at most 1023
// bytes, cut safely) is delivered.
void DbgviewLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void DbgviewLogV(int level, const char* format, va_list args);
void UpdateLog(int level, std::string message);
// The line the string form delivers for a level and message.
std::string ComposeLogLine(int level, const std::string& message);

// Selector 1: "YYYY-MM-DD"; 2: "hh:mm:ss"; anything else: both, one blank apart.
std::string ForamtTime(int64_t seconds, int selector);
// Elapsed counter time in microseconds, or milliseconds with inMs; never negative.
int64_t GetUs(int64_t start, int64_t end, int64_t frequency, bool inMs);
void MSleep(long ms);
// True when more than 3000 ms lie between the two ticks, across the 2^32 wrap.
bool PrintHeart(long earlierTick, long currentTick);

}  // namespace qx::log
