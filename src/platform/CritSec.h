#pragma once

#include <mutex>

// The library's lock. Recursive, because several session operations that take a
// lock call others that take the same one (reset from inside input, for example).
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
    std::recursive_mutex m_mutex;
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
