#include "session/SessionWorkers.h"

#include <chrono>
#include <vector>

#include "platform/WorkerThread.h"
#include "session/SessionRegistry.h"

namespace {

// The session whose worker this thread is; null on host threads.
thread_local const void* t_owner = nullptr;

const char* RoleName(SessionWorkers::Role role) {
    static const char* const kNames[SessionWorkers::kRoleCount] = {"parser", "play-video",
                                                                   "render", "file-reader",
                                                                   "record"};
    return kNames[role];
}

}  // namespace

SessionWorkers::~SessionWorkers() {
    std::vector<std::thread> others;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Slot& slot : m_slots) {
            if (!slot.thread.joinable())
                continue;
            if (slot.thread.get_id() == std::this_thread::get_id())
                qx::session::AdoptThread(std::move(slot.thread));
            else
                others.push_back(std::move(slot.thread));
        }
    }
    // Every other worker has let go of the session: it is on its last instructions.
    for (std::thread& thread : others)
        thread.join();
}

void SessionWorkers::Start(Role role, std::function<void()> body,
                           std::shared_ptr<void> keepAlive) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Slot& slot = m_slots[role];
    if (slot.running)
        return;
    // An ended thread touches nothing of ours any more: joining it here is quick.
    if (slot.thread.joinable() && !slot.joining)
        slot.thread.join();
    if (slot.joining)
        return;
    qx::session::WorkerStarting();
    try {
        slot.thread = qx::StartThread(
            RoleName(role), [this, role, owner = m_owner, body = std::move(body),
                             keepAlive = std::move(keepAlive)]() mutable {
                t_owner = owner;
                body();
                Ended(role);
                // Possibly the last reference: nothing of the session is touched after it.
                keepAlive.reset();
                t_owner = nullptr;
                qx::session::WorkerFinished();
            });
    } catch (...) {
        qx::session::WorkerFinished();
        throw;
    }
    slot.running = true;
}

void SessionWorkers::Ended(Role role) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_slots[role].running = false;
    }
    m_changed.notify_all();
}

bool SessionWorkers::Running(Role role) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_slots[role].running;
}

bool SessionWorkers::Joinable(Role role) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_slots[role].thread.joinable() || m_slots[role].joining;
}

void SessionWorkers::Join(std::initializer_list<Role> roles) {
    std::vector<Role> taken;
    std::vector<std::thread> threads;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (Role role : roles) {
            Slot& slot = m_slots[role];
            m_changed.wait(lock, [&] { return !slot.joining; });
            if (!slot.thread.joinable() || slot.thread.get_id() == std::this_thread::get_id())
                continue;
            slot.joining = true;
            taken.push_back(role);
            threads.push_back(std::move(slot.thread));
        }
    }
    for (std::thread& thread : threads)
        thread.join();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Role role : taken) {
            m_slots[role].joining = false;
            m_slots[role].running = false;
        }
    }
    m_changed.notify_all();
}

bool SessionWorkers::WaitEnded(Role role, long ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms),
                              [&] { return !m_slots[role].running; });
}

bool SessionWorkers::IsCallingThread(Role role) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_slots[role].thread.get_id() == std::this_thread::get_id();
}

bool SessionWorkers::OnOwnThread() const {
    return t_owner == m_owner;
}

bool SessionWorkers::OnAnyWorkerThread() {
    return t_owner != nullptr;
}
