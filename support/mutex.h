// A mutex and its scoped lock that clang's thread-safety analysis can follow
// (std::mutex carries no annotations in libstdc++). Same behaviour and cost
// as std::mutex with std::unique_lock.
#ifndef ZORBEL_SUPPORT_MUTEX_H
#define ZORBEL_SUPPORT_MUTEX_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/thread_annotations.h"

namespace zorbel {
namespace detail {

class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    friend class MutexLock;
    std::mutex mutex_;
};

// Holds a Mutex for its scope. Waiting on a condition variable through it
// releases the mutex while the thread sleeps, as std::condition_variable does;
// the analysis treats the mutex as held throughout, which is what the code
// around the wait may assume.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // Lets go of the mutex before the scope ends, and takes it back.
    void unlock() RELEASE() { lock_.unlock(); }
    void lock() ACQUIRE() { lock_.lock(); }

    void wait(std::condition_variable& cv) { cv.wait(lock_); }
    // Lets go of the mutex while the thread yields the CPU, as a wait does
    // while it sleeps, and takes it back.
    void yield() {
        lock_.unlock();
        std::this_thread::yield();
        lock_.lock();
    }
    template <class Predicate>
    void wait(std::condition_variable& cv, Predicate stop_waiting) {
        cv.wait(lock_, stop_waiting);
    }
    template <class Rep, class Period, class Predicate>
    bool wait_for(std::condition_variable& cv, const std::chrono::duration<Rep, Period>& timeout,
                  Predicate stop_waiting) {
        return cv.wait_for(lock_, timeout, stop_waiting);
    }
    template <class Clock, class Duration>
    std::cv_status wait_until(std::condition_variable& cv,
                              const std::chrono::time_point<Clock, Duration>& deadline) {
        return cv.wait_until(lock_, deadline);
    }

private:
    std::unique_lock<std::mutex> lock_;
};

// A recursive mutex the analysis can follow, for the few locks that a thread
// may take again while holding them (see where each is declared for why).
class CAPABILITY("mutex") RecursiveMutex {
public:
    RecursiveMutex() = default;
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

class SCOPED_CAPABILITY RecursiveMutexLock {
public:
    explicit RecursiveMutexLock(RecursiveMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~RecursiveMutexLock() RELEASE() { mutex_.unlock(); }
    RecursiveMutexLock(const RecursiveMutexLock&) = delete;
    RecursiveMutexLock& operator=(const RecursiveMutexLock&) = delete;

private:
    RecursiveMutex& mutex_;
};

}  // namespace detail
}  // namespace zorbel

#endif
