#include "session/SessionRegistry.h"

#include <condition_variable>
#include <mutex>
#include <vector>

#include "session/SessionWorkers.h"

namespace qx::session {

namespace {

// Never destroyed: workers may still end sessions while the process exits.
struct Registry {
    std::mutex mutex;
    std::condition_variable changed;
    int workers = 0;                   // guarded by mutex
    std::vector<std::thread> adopted;  // guarded by mutex
};

Registry& R() {
    static Registry* registry = new Registry;
    return *registry;
}

}  // namespace

void WorkerStarting() {
    std::lock_guard<std::mutex> lock(R().mutex);
    ++R().workers;
}

void WorkerFinished() {
    {
        std::lock_guard<std::mutex> lock(R().mutex);
        --R().workers;
    }
    R().changed.notify_all();
}

void WaitForWorkers() {
    // A worker cannot wait for itself.
    const int allowed = SessionWorkers::OnAnyWorkerThread() ? 1 : 0;
    {
        std::unique_lock<std::mutex> lock(R().mutex);
        R().changed.wait(lock, [&] { return R().workers <= allowed; });
    }
    JoinAdoptedThreads();
}

void AdoptThread(std::thread thread) {
    std::lock_guard<std::mutex> lock(R().mutex);
    R().adopted.push_back(std::move(thread));
}

void JoinAdoptedThreads() {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(R().mutex);
        threads.swap(R().adopted);
    }
    for (std::thread& thread : threads) {
        if (thread.get_id() == std::this_thread::get_id())
            AdoptThread(std::move(thread));
        else
            thread.join();
    }
}

}  // namespace qx::session
