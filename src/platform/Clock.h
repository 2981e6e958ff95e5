#pragma once

#include <cstdint>

// Monotonic time for pacing and diagnostics. The counter runs in nanoseconds, so
// its frequency is fixed at 1e9 and never zero.
namespace qx {

int64_t QueryPerformanceCounter();
int64_t QueryPerformanceFrequency();

// Milliseconds since an unspecified start, wrapping at 2^32 like the Windows tick.
uint32_t GetTickCount();

uint32_t GetCurrentProcessId();

}  // namespace qx
