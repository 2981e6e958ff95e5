#include "platform/WorkerThread.h"

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <system_error>

namespace qx {

namespace {

std::mutex& HookMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

ThreadHooks g_hooks;  // guarded by HookMutex()

ThreadHooks Hooks() {
    std::lock_guard<std::mutex> lock(HookMutex());
    return g_hooks;
}

}  // namespace

void SetThreadHooks(const ThreadHooks& hooks) {
    std::lock_guard<std::mutex> lock(HookMutex());
    g_hooks = hooks;
}

std::thread StartThread(const char* role, std::function<void()> body) {
    const ThreadHooks hooks = Hooks();
    if (hooks.beforeStart != nullptr && !hooks.beforeStart(role))
        throw std::system_error(EAGAIN, std::generic_category(), role);
    return std::thread([role, atStart = hooks.atStart, body = std::move(body)] {
        // Named for whoever looks at the process (top, gdb, perf).
        char name[16];
        std::snprintf(name, sizeof name, "qx-%s", role);
        pthread_setname_np(pthread_self(), name);
        if (atStart != nullptr)
            atStart(role);
        body();
    });
}

}  // namespace qx
