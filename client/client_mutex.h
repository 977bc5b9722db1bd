// VClientMutex: the frame client's recursive lock, which a waiting owner can
// give up completely, whatever its recursion depth.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

// Whether an unlock by a thread that does not own the lock stops the
// program. On in debug builds (NDEBUG not defined): such an unlock is a
// programming error, and it is caught where it happens. Off in release
// builds, where it changes nothing, as before. A translation unit may set it
// before including this header (the test of the check does).
#ifndef QS_CHECK_CLIENT_MUTEX_OWNER
#ifdef NDEBUG
#define QS_CHECK_CLIENT_MUTEX_OWNER 0
#else
#define QS_CHECK_CLIENT_MUTEX_OWNER 1
#endif
#endif

// A recursive mutex built from a plain mutex and owner/depth bookkeeping.
//
// `Guard` protects only the bookkeeping (`Owner`, `Depth`) and is never held
// between calls. The logical lock belongs to `Owner`, taken `Depth` times.
// Threads that want the lock while another thread owns it wait on
// `Released`.
//
// A condition variable of the standard library waiting on a recursive mutex
// unlocks one level only, so a waiter at depth 2 would keep everybody else
// out. WaitUntil instead records the depth, hands the logical lock back
// entirely, waits on the caller's condition variable with `Guard` (to which
// the handover and the start of the wait are atomic, so no notification sent
// by a thread that took the lock after the handover can be missed), and on
// waking takes the logical lock back at the same depth.
//
// Meets the Lockable requirements, so std::lock_guard and std::unique_lock
// work with it.
class VClientMutex {
 public:
  using Clock = std::chrono::steady_clock;

  VClientMutex() = default;
  VClientMutex(const VClientMutex&) = delete;
  VClientMutex& operator=(const VClientMutex&) = delete;

  void lock() {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> guard(Guard);
    if (Owner == self) {
      ++Depth;
      return;
    }
    Released.wait(guard, [this] { return Depth == 0; });
    Owner = self;
    Depth = 1;
  }

  [[nodiscard]] bool try_lock() {
    const std::thread::id self = std::this_thread::get_id();
    std::lock_guard<std::mutex> guard(Guard);
    if (Owner == self) {
      ++Depth;
      return true;
    }
    if (Depth != 0) return false;
    Owner = self;
    Depth = 1;
    return true;
  }

  // Must be called by the owner. Any other caller is a programming error:
  // with QS_CHECK_CLIENT_MUTEX_OWNER it aborts the program, otherwise the
  // call changes nothing.
  void unlock() {
    std::lock_guard<std::mutex> guard(Guard);
    if (Depth == 0 || Owner != std::this_thread::get_id()) {
#if QS_CHECK_CLIENT_MUTEX_OWNER
      std::fputs("VClientMutex::unlock called by a thread that does not own the lock\n", stderr);
      std::abort();
#endif
      return;
    }
    if (--Depth == 0) {
      Owner = std::thread::id();
      Released.notify_one();
    }
  }

  // Called by the owning thread, at any depth: releases the lock completely,
  // waits on `condition` until it is notified or `deadline` (steady clock,
  // so a change of the calendar time neither stretches nor cuts the wait)
  // has passed, then owns the lock again at the depth it had. Returns
  // std::cv_status::timeout when the deadline had passed on waking. Spurious
  // wake-ups return no_timeout; callers re-check their condition.
  std::cv_status WaitUntil(std::condition_variable& condition, Clock::time_point deadline) {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> guard(Guard);
    if (Owner != self || Depth == 0) {
      // Not the owner: nothing to hand back, a plain timed wait.
      return condition.wait_until(guard, deadline);
    }
    const uint32_t depth = Depth;
    Owner = std::thread::id();
    Depth = 0;
    Released.notify_one();
    const std::cv_status status = condition.wait_until(guard, deadline);
    Released.wait(guard, [this] { return Depth == 0; });
    Owner = self;
    Depth = depth;
    return status;
  }

  // The calling thread's recursion depth: 0 when it does not own the lock.
  uint32_t DepthHeldByCaller() {
    std::lock_guard<std::mutex> guard(Guard);
    return Owner == std::this_thread::get_id() ? Depth : 0;
  }

 private:
  std::mutex Guard;
  std::condition_variable Released;
  std::thread::id Owner;
  uint32_t Depth = 0;
};
