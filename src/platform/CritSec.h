#pragma once

#include <mutex>

// The library's lock, and the order in which its locks may be held. A thread holds
// at most the locks of one line below, in that order from left to right, and takes a
// lock further left only after releasing the ones to its right:
//
//   InitLock -> SessionMutex (port table) -> session control lock
//       -> input lock -> position-index lock
//       -> frame-buffer lock | render-queue lock | audio-staging lock | record lock
//       -> picture lock -> overlay lock | frame-information lock
//       -> play-clock lock | callback lock | player lock | audio-queue lock
//       -> statistics lock (a leaf: every part reports into it under its own locks)
//   the decoder lock, the log's and the platform's own locks: alone, never while
//   taking another.
//
// No thread is joined, no host callback is called and no wait for another thread
// is made while any of these locks is held. Worker threads never take InitLock,
// SessionMutex or a session's control lock. A method that expects its caller to
// hold a lock ends in _locked.
//
// Not recursive: a lock taken twice by one thread is a fault of the caller.
class CCritSec {
  public:
    CCritSec() = default;
    CCritSec(const CCritSec&) = delete;
    CCritSec& operator=(const CCritSec&) = delete;

    void Lock() { m_mutex.lock(); }
    void Unlock() { m_mutex.unlock(); }

    // For std::unique_lock / std::condition_variable_any.
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }
    bool try_lock() { return m_mutex.try_lock(); }

  private:
    std::mutex m_mutex;
};

// Scoped guard; a null lock is accepted and guards nothing.
class CAutoLock {
  public:
    explicit CAutoLock(CCritSec* lock) : m_lock(lock) {
        if (m_lock)
            m_lock->Lock();
    }
    ~CAutoLock() {
        if (m_lock)
            m_lock->Unlock();
    }
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

  private:
    CCritSec* m_lock;
};
