#pragma once

#include <functional>
#include <thread>

namespace qx {

// Every thread the library starts goes through here, so that tests can slow down or
// refuse thread starts on purpose.
struct ThreadHooks {
    // Runs on the starting thread; false refuses the start (StartThread then throws).
    bool (*beforeStart)(const char* role) = nullptr;
    // Runs first on the new thread, before its body.
    void (*atStart)(const char* role) = nullptr;
};
void SetThreadHooks(const ThreadHooks& hooks);

// A joinable thread running body. Throws std::system_error when no thread can be
// started, as std::thread does.
std::thread StartThread(const char* role, std::function<void()> body);

}  // namespace qx
