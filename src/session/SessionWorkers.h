#pragma once

#include <condition_variable>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <thread>

// The worker threads of one port: where they are started and joined, and nowhere
// else. Every worker keeps its port's session alive until it has ended, so a
// session freed from a host callback on one of its own workers is destroyed by
// the last worker out; a thread that cannot join itself is handed to the process
// (AdoptThread) and joined there.
class SessionWorkers {
  public:
    enum Role { kParser, kPlayVideo, kRender, kFileReader, kRecord, kRoleCount };

    explicit SessionWorkers(const void* owner) : m_owner(owner) {}
    // Joins every thread but the calling one, which is adopted.
    ~SessionWorkers();
    SessionWorkers(const SessionWorkers&) = delete;
    SessionWorkers& operator=(const SessionWorkers&) = delete;

    // Starts the role's thread unless it still runs its body; one that has ended is
    // joined first. keepAlive is held by the thread until it ends. Throws
    // std::system_error when no thread can be started.
    void Start(Role role, std::function<void()> body, std::shared_ptr<void> keepAlive);
    // Started and not yet out of its body.
    bool Running(Role role);
    // A thread of the role that nobody has joined yet.
    bool Joinable(Role role);
    // Joins the roles' threads, waiting for those another caller is joining; the
    // calling thread's own role is left alone. Call with no lock held.
    void Join(std::initializer_list<Role> roles);
    // Waits up to ms for the role's body to end; true when it has (or never ran).
    bool WaitEnded(Role role, long ms);
    // True on the role's own thread.
    bool IsCallingThread(Role role);
    // True on one of this port's own worker threads.
    bool OnOwnThread() const;
    // True on any port's worker thread.
    static bool OnAnyWorkerThread();

  private:
    struct Slot {
        std::thread thread;
        bool running = false;
        bool joining = false;
    };
    void Ended(Role role);

    const void* const m_owner;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    Slot m_slots[kRoleCount];  // guarded by m_mutex
};
