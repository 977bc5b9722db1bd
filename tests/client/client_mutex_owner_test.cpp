// The frame client's lock with its owner check on, as in a debug build: an
// unlock by a thread that does not own the lock stops the program. Built as
// a program of its own with QS_CHECK_CLIENT_MUTEX_OWNER set, so that the
// check is tested whatever the build type.
#include "client/client_mutex.h"

#include <gtest/gtest.h>

#include <thread>

#if !QS_CHECK_CLIENT_MUTEX_OWNER
#error "this test needs the owner check: build it with QS_CHECK_CLIENT_MUTEX_OWNER=1"
#endif

namespace {

const char NotOwner[] = "does not own the lock";

TEST(ClientMutexOwnerCheck, UnlockByAnotherThreadOrWithoutTheLockStopsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        VClientMutex mutex;
        mutex.lock();
        std::thread([&mutex] { mutex.unlock(); }).join();
      },
      NotOwner);
  EXPECT_DEATH(
      {
        VClientMutex mutex;
        mutex.unlock();
      },
      NotOwner);
  // The owner's unlocks, to the last level, pass.
  VClientMutex mutex;
  mutex.lock();
  mutex.lock();
  mutex.unlock();
  mutex.unlock();
  EXPECT_EQ(mutex.DepthHeldByCaller(), 0u);
}

}  // namespace
