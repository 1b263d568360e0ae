// Mutex, MutexLock and CondVar: std::mutex and std::condition_variable with
// the annotations clang's -Wthread-safety checks, so that a member declared
// GUARDED_BY(lock_) cannot be touched without lock_ held, and a function
// declared REQUIRES(lock_) cannot be called without it.
//
// CondVar's wait(), wait_for() and wait_until() are called with their Mutex held and
// return with it held again. They take no predicate: callers loop on their
// condition in the function that holds the lock, where the analysis sees it.

#ifndef QUORVEX_SYNC_MUTEX_H_
#define QUORVEX_SYNC_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "sync/thread_annotations.h"

namespace quorvex::sync {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  // Tells the analysis that the caller holds this lock (checked only by the
  // analysis, not at run time).
  void assert_held() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds `mutex` from construction to destruction.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) {
    mutex_.lock();
  }
  ~MutexLock() RELEASE() { mutex_.unlock(); }

  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Releases `mutex`, waits for a notification (or a spurious wake-up) and
  // takes `mutex` again. Every wait on one CondVar names the same Mutex.
  void wait(Mutex& mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    cond_.wait(lock);
    lock.release();
  }
  // As wait(), for at most `timeout`. False when the time ran out.
  template <typename Rep, typename Period>
  bool wait_for(Mutex& mutex, std::chrono::duration<Rep, Period> timeout)
      REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    const bool notified =
        cond_.wait_for(lock, timeout) == std::cv_status::no_timeout;
    lock.release();
    return notified;
  }
  // As wait(), until `deadline` at the latest. False once the deadline has
  // passed, so that a wait for a condition reads
  //   while (!condition) if (!cond.wait_until(mutex, deadline)) break;
  template <typename Clock, typename Duration>
  bool wait_until(Mutex& mutex, std::chrono::time_point<Clock, Duration> deadline)
      REQUIRES(mutex) {
    const auto now = Clock::now();
    if (now >= deadline) return false;
    // Far deadlines overflow some platforms' waits; a day at a time is
    // enough, since the caller looks at its condition after every wake-up.
    const auto day = now + std::chrono::hours(24);
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    if (deadline < day) {
      cond_.wait_until(lock, deadline);
    } else {
      cond_.wait_until(lock, day);
    }
    lock.release();
    return Clock::now() < deadline;
  }
  void notify_one() { cond_.notify_one(); }
  void notify_all() { cond_.notify_all(); }

 private:
  std::condition_variable cond_;
};

}  // namespace quorvex::sync

#endif  // QUORVEX_SYNC_MUTEX_H_
