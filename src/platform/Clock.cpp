#include "platform/Clock.h"

#include <unistd.h>

#include <chrono>

namespace qx {

int64_t QueryPerformanceCounter() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t QueryPerformanceFrequency() {
    return 1000000000LL;
}

uint32_t GetTickCount() {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(ms);
}

uint32_t GetCurrentProcessId() {
    return static_cast<uint32_t>(::getpid());
}

}  // namespace qx
