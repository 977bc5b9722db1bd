// Many Connect / GetFrame / Disconnect cycles through the exports against a
// capture-server peer on port 801 (inside the private network namespace the
// test runner makes): open descriptors, threads and resident memory must
// stay where they were after a warm-up.
//
// QS_SOAK_CYCLES overrides the number of cycles (the memory-checker run
// uses a short one).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "QS.h"
#include "tests/support/process_stats.h"
#include "streamio/object_types.h"
#include "testing/wait.h"
#include "testing/capture_server.h"

using namespace std::chrono_literals;
using namespace LumoraQSServe;
using namespace QSTesting;
using Clock = std::chrono::steady_clock;

namespace QSSoak {
namespace {

using QSTesting::WaitUntil;

int Cycles(int fallback) {
  const char* text = std::getenv("QS_SOAK_CYCLES");
  const int value = text ? std::atoi(text) : 0;
  return value > 0 ? value : fallback;
}

VBytes Frame(int32_t number) {
  LumoraQSStream::VSubjectInfo subject;
  subject.SubjectID = 1;
  subject.Name = "Soak";
  LumoraQSStream::VSegmentInfo segment;
  segment.SegmentID = 2;
  segment.Name = "Body";
  subject.Segments.push_back(segment);
  LumoraQSStream::VSegmentPoses poses;
  poses.SubjectID = 1;
  LumoraQSStream::VSegmentPose pose{};
  pose.SegmentID = 2;
  pose.Translation = {1, 2, 3};
  pose.Rotation = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  poses.Poses.push_back(pose);
  return EncodePacket({EncodeSubjectInfo(subject), EncodeFrameNumber(number), EncodeGlobalSegmentPoses(poses)});
}

struct VSnapshot {
  int Descriptors;
  int ThreadCount;
  long ResidentKiB;
};

// Disconnect joins the library's threads and the server joins its reader
// before it counts a connection closed, but a joined thread can stay listed
// in /proc/self/task for a moment while the kernel finishes its exit.
// The snapshot waits (bounded) for the count to come down to the process's
// idle count; a thread that really stays shows in the comparison after.
VSnapshot Take(int idleThreads) {
  WaitUntil([&] { return Threads() <= idleThreads; }, 2000ms);
  return {OpenDescriptors(), Threads(), ResidentKiB()};
}

// One cycle. The server serves connections one after another; waiting for
// it to have closed the previous one keeps its own descriptors and threads
// out of the counts.
void Cycle(VCaptureServer& server, const std::string& address, int32_t frame) {
  ASSERT_TRUE(WaitUntil([&] { return server.ConnectionsClosed() == server.ConnectionsAccepted(); }, 10000ms));
  server.Push(Frame(frame));
  ASSERT_TRUE(Connect(address.c_str())) << "cycle " << frame;
  ASSERT_TRUE(EnableSegmentData());
  ASSERT_TRUE(WaitUntil(
      [&] {
        int32_t n = 0;
        GetFrame();
        return GetFrameNumber(&n) && n == frame;
      },
      10000ms))
      << "cycle " << frame;
  double t[3] = {0, 0, 0};
  int32_t occluded = 1;
  ASSERT_TRUE(GetGlobalSegmentTranslation("Soak", "Body", t, &occluded));
  ASSERT_EQ(t[2], 3.0);
  ASSERT_TRUE(Disconnect()) << "cycle " << frame;
}

void RunCycles(const std::string& address, int cycles, int warmUp, bool checkMemory) {
  VCaptureServerOptions options;
  options.Address = address;
  options.Port = 801;
  options.Behaviour = EServeBehaviour::AnswerEachRequest;
  options.ScriptWait = 10000ms;
  VCaptureServer server(options);
  if (!server.Start()) GTEST_SKIP() << "cannot serve: " << server.LastError();
  // This thread and the server's, before the library has started any.
  const int idleThreads = Threads();

  VSnapshot before{};
  const auto start = Clock::now();
  for (int i = 0; i < cycles; ++i) {
    if (i == warmUp) {
      ASSERT_TRUE(WaitUntil([&] { return server.ConnectionsClosed() == server.ConnectionsAccepted(); }, 10000ms));
      before = Take(idleThreads);
    }
    Cycle(server, address, i + 1);
    if (::testing::Test::HasFatalFailure()) return;
  }
  ASSERT_TRUE(WaitUntil([&] { return server.ConnectionsClosed() == server.ConnectionsAccepted(); }, 10000ms));
  const VSnapshot after = Take(idleThreads);
  std::printf("%d cycles in %.1f s; after %d warm-up cycles: descriptors %d -> %d, threads %d -> %d, "
              "VmRSS %ld -> %ld KiB\n",
              cycles, std::chrono::duration<double>(Clock::now() - start).count(), warmUp, before.Descriptors,
              after.Descriptors, before.ThreadCount, after.ThreadCount, before.ResidentKiB, after.ResidentKiB);
  EXPECT_EQ(server.ConnectionsAccepted(), static_cast<std::size_t>(cycles));
  EXPECT_EQ(after.Descriptors, before.Descriptors);
  EXPECT_EQ(after.ThreadCount, before.ThreadCount);
  if (checkMemory && !Sanitized) {
    // Allocator caches may still settle; a leak per cycle would show as
    // several KiB times hundreds of cycles.
    EXPECT_LE(after.ResidentKiB, before.ResidentKiB + 4096);
  }
}

TEST(QSSoak, ThousandConnectGetFrameDisconnectCyclesKeepDescriptorsThreadsAndMemoryFlat) {
  const int cycles = Cycles(1000);
  RunCycles("127.0.0.21", cycles, cycles / 10, true);
}

// The short run a memory checker (valgrind) makes: the memory checker
// itself judges leaks and invalid accesses, so resident memory is not
// compared here.
TEST(QSSoak, ShortCyclesForTheMemoryChecker) {
  RunCycles("127.0.0.22", Cycles(20), 2, false);
}

}  // namespace
}  // namespace QSSoak
