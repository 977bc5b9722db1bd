// The frame client's recursive lock: recursion, and a waiter that gives the
// lock up completely and takes it back at its depth.
#include "client/client_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;

// True when a thread other than the caller can take the lock right now.
bool OtherThreadCanLock(VClientMutex& mutex) {
  return std::async(std::launch::async, [&mutex] {
           if (!mutex.try_lock()) return false;
           mutex.unlock();
           return true;
         }).get();
}

TEST(ClientMutex, RecursionCountsLevelsAndExcludesOtherThreads) {
  VClientMutex mutex;
  EXPECT_EQ(mutex.DepthHeldByCaller(), 0u);
  mutex.lock();
  mutex.lock();
  EXPECT_TRUE(mutex.try_lock());
  EXPECT_EQ(mutex.DepthHeldByCaller(), 3u);
  EXPECT_FALSE(OtherThreadCanLock(mutex));
  mutex.unlock();
  mutex.unlock();
  EXPECT_EQ(mutex.DepthHeldByCaller(), 1u);
  EXPECT_FALSE(OtherThreadCanLock(mutex));
  mutex.unlock();
  EXPECT_EQ(mutex.DepthHeldByCaller(), 0u);
  EXPECT_TRUE(OtherThreadCanLock(mutex));
}

// Where the owner check is on, the same unlock stops the program
// (client_mutex_owner_test.cpp).
#if !QS_CHECK_CLIENT_MUTEX_OWNER
TEST(ClientMutex, UnlockByAThreadThatDoesNotOwnItChangesNothing) {
  VClientMutex mutex;
  mutex.lock();
  std::thread([&mutex] { mutex.unlock(); }).join();
  EXPECT_EQ(mutex.DepthHeldByCaller(), 1u);
  EXPECT_FALSE(OtherThreadCanLock(mutex));
  mutex.unlock();
  EXPECT_TRUE(OtherThreadCanLock(mutex));
}
#endif

TEST(ClientMutex, BlockedLockerGetsInOnceTheOwnerReleasesTheLastLevel) {
  VClientMutex mutex;
  std::atomic<bool> entered{false};
  mutex.lock();
  mutex.lock();
  std::thread other([&] {
    std::lock_guard<VClientMutex> guard(mutex);
    entered = true;
  });
  mutex.unlock();
  // One level still held: the other thread must still be outside.
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(entered.load());
  mutex.unlock();
  other.join();
  EXPECT_TRUE(entered.load());
}

TEST(ClientMutex, WaiterAtDepthThreeLetsAnotherThreadInAndGetsItsDepthBack) {
  VClientMutex mutex;
  std::condition_variable signal;
  bool ready = false;  // guarded by mutex (the logical lock)

  mutex.lock();
  mutex.lock();
  mutex.lock();
  std::thread other([&] {
    std::lock_guard<VClientMutex> guard(mutex);
    ready = true;
    signal.notify_all();
  });
  const auto deadline = VClientMutex::Clock::now() + 10s;
  while (!ready && VClientMutex::Clock::now() < deadline) mutex.WaitUntil(signal, deadline);
  EXPECT_TRUE(ready);
  EXPECT_EQ(mutex.DepthHeldByCaller(), 3u);
  other.join();
  EXPECT_FALSE(OtherThreadCanLock(mutex));
  mutex.unlock();
  mutex.unlock();
  EXPECT_FALSE(OtherThreadCanLock(mutex));
  mutex.unlock();
  EXPECT_TRUE(OtherThreadCanLock(mutex));
}

TEST(ClientMutex, WaitReportsTimeoutOnlyOnceTheDeadlineHasPassedAndRestoresTheLock) {
  VClientMutex mutex;
  std::condition_variable never;
  mutex.lock();
  mutex.lock();
  const auto start = VClientMutex::Clock::now();
  const auto deadline = start + 200ms;
  std::cv_status status = std::cv_status::no_timeout;
  while (status != std::cv_status::timeout) status = mutex.WaitUntil(never, deadline);
  EXPECT_GE(VClientMutex::Clock::now(), deadline);
  EXPECT_EQ(mutex.DepthHeldByCaller(), 2u);
  EXPECT_FALSE(OtherThreadCanLock(mutex));
  mutex.unlock();
  mutex.unlock();
}

TEST(ClientMutex, DeadlineAlreadyPastReturnsTimeoutAtOnce) {
  VClientMutex mutex;
  std::condition_variable never;
  std::lock_guard<VClientMutex> guard(mutex);
  EXPECT_EQ(mutex.WaitUntil(never, VClientMutex::Clock::now() - 1ms), std::cv_status::timeout);
  EXPECT_EQ(mutex.DepthHeldByCaller(), 1u);
}

}  // namespace
