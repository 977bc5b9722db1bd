// Loading and unloading libQS.so in every state a host may leave it in:
// each case runs qs_dlopen_child in a process of its own and checks that it
// exits by itself, with status 0, within a bounded time (a hang is killed
// and reported).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "testing/wait.h"

using Clock = std::chrono::steady_clock;

namespace {

struct VChildResult {
  bool Finished = false;
  int Status = 0;
  double Seconds = 0;
};

VChildResult RunChild(const std::string& address, const std::string& mode, std::chrono::seconds timeout) {
  VChildResult result;
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    execl(QS_DLOPEN_CHILD, QS_DLOPEN_CHILD, QS_LIBRARY, address.c_str(), mode.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) return result;
  int status = 0;
  if (QSTesting::WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout)) {
    result.Finished = true;
    result.Status = status;
    result.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  result.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return result;
}

const char* const Modes[] = {"unload-connected", "unload-silent-peer", "unload-prefetching",
                             "unload-video-held", "unload-deaf-peer",   "exit-connected"};

class LibraryLifecycle : public ::testing::TestWithParam<int> {
 protected:
  const char* Mode() const { return Modes[GetParam()]; }
};

TEST_P(LibraryLifecycle, ChildLeavesTheStateAndExitsCleanlyWithinTheBound) {
  const std::string address = "127.0.0." + std::to_string(40 + GetParam());
  const VChildResult result = RunChild(address, Mode(), std::chrono::seconds(60));
  ASSERT_TRUE(result.Finished) << Mode() << ": the child hung and was killed after " << result.Seconds << " s";
  if (WIFEXITED(result.Status) && WEXITSTATUS(result.Status) == 77) {
    GTEST_SKIP() << "the child could not serve on port 801";
  }
  ASSERT_TRUE(WIFEXITED(result.Status)) << Mode() << ": killed by signal "
                                        << (WIFSIGNALED(result.Status) ? WTERMSIG(result.Status) : 0);
  EXPECT_EQ(WEXITSTATUS(result.Status), 0) << Mode();
  std::printf("%s: exited after %.2f s\n", Mode(), result.Seconds);
}

INSTANTIATE_TEST_SUITE_P(Soak, LibraryLifecycle,
                         ::testing::Range(0, static_cast<int>(sizeof Modes / sizeof Modes[0])),
                         [](const auto& info) {
                           std::string name = Modes[info.param];
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name;
                         });

}  // namespace
