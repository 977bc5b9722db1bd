// The qs-sim program itself: started on an ephemeral loopback port, read
// by the library's stream client, stopped by its frame budget or by
// SIGTERM. Every wait is bounded; a program that does not end in time is
// killed and the test fails.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "stream/stream_client.h"
#include "testing/wait.h"
#include "tests/tools/stream_recorder.h"

extern char** environ;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// One run of the program with its standard output on a pipe.
class VProgram {
 public:
  explicit VProgram(std::vector<std::string> args) {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    args.insert(args.begin(), QS_SIM_BINARY);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&Pid, QS_SIM_BINARY, &actions, nullptr, argv.data(), environ) != 0) Pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    Out = fds[0];
  }
  ~VProgram() {
    if (Pid > 0 && !Reaped) {
      kill(Pid, SIGKILL);
      int status = 0;
      waitpid(Pid, &status, 0);
    }
    if (Out >= 0) close(Out);
  }
  VProgram(const VProgram&) = delete;
  VProgram& operator=(const VProgram&) = delete;

  bool Running() const { return Pid > 0; }
  pid_t Pid = -1;

  // The next output line, or "" when none came within `timeout`.
  std::string ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      const auto newline = Buffer.find('\n');
      if (newline != std::string::npos) {
        std::string line = Buffer.substr(0, newline);
        Buffer.erase(0, newline + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0 || !Fill(static_cast<int>(left))) return "";
    }
  }
  // Everything still to come, until the program closes its output or the
  // time is up.
  std::string ReadRest(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0 || !Fill(static_cast<int>(left))) break;
    }
    return std::move(Buffer);
  }
  // The exit status, or -1 when the program did not end within `timeout`.
  int WaitExit(std::chrono::milliseconds timeout) {
    int status = 0;
    if (!QSTesting::WaitUntil([&] { return waitpid(Pid, &status, WNOHANG) == Pid; }, timeout)) return -1;
    Reaped = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  bool Fill(int timeoutMs) {
    pollfd p{Out, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char chunk[512];
    const ssize_t n = read(Out, chunk, sizeof chunk);
    if (n <= 0) return false;
    Buffer.append(chunk, static_cast<std::size_t>(n));
    return true;
  }
  int Out = -1;
  bool Reaped = false;
  std::string Buffer;
};

// The port from "qs-sim: listening on 127.0.0.1:PORT, ...".
int ListeningPort(const std::string& line) {
  std::smatch match;
  if (!std::regex_search(line, match, std::regex(R"(^qs-sim: listening on 127\.0\.0\.1:(\d+), )"))) return -1;
  return std::stoi(match[1]);
}

}  // namespace

TEST(QsSimProgram, ServesTheFrameBudgetThenExitsCleanly) {
  VProgram program({"--port", "0", "--frames", "20", "--rate", "200"});
  ASSERT_TRUE(program.Running());
  const std::string first = program.ReadLine(5s);
  const int port = ListeningPort(first);
  ASSERT_GT(port, 0) << "first line: " << first;
  EXPECT_NE(first.find("200 Hz"), std::string::npos) << first;

  auto recorder = std::make_shared<VStreamRecorder>();
  {
    VLumoraQSStreamClient client(recorder);
    client.SetRequestedTypes({1, 2, 3, 4, 5, 9, 10, 11, 12, 13});
    client.SetStreamMode(1);  // pushed: every frame of the clock, 0 to 19
    client.Connect("127.0.0.1", port);
    ASSERT_TRUE(recorder->WaitForDisconnect(10s)) << "the program ends the stream after 20 frames";
  }
  EXPECT_EQ(program.WaitExit(10s), 0);
  const auto frames = recorder->Dynamics();
  ASSERT_EQ(frames.size(), 20u);
  for (std::size_t i = 1; i < frames.size(); ++i) EXPECT_GT(frames[i]->FrameNumber, frames[i - 1]->FrameNumber);
  for (const auto& frame : frames) {
    EXPECT_TRUE(frame->MarkerPositions.empty()) << "markers were not requested";
    EXPECT_EQ(frame->GlobalSegmentPoses.size(), 2u);
    EXPECT_EQ(frame->Voltages.size(), 2u);
  }
  const std::string rest = program.ReadRest(5s);
  EXPECT_NE(rest.find("connected"), std::string::npos) << rest;
  EXPECT_NE(rest.find("disconnected after 20 frames"), std::string::npos) << rest;
  EXPECT_NE(rest.find("stopped after 20 frames"), std::string::npos) << rest;
}

TEST(QsSimProgram, SigtermStopsItCleanlyWhileAClientIsConnected) {
  VProgram program({"--port", "0", "--rate", "100"});
  ASSERT_TRUE(program.Running());
  const int port = ListeningPort(program.ReadLine(5s));
  ASSERT_GT(port, 0);
  auto recorder = std::make_shared<VStreamRecorder>();
  VLumoraQSStreamClient client(recorder);
  client.SetRequestedTypes({5, 6});
  client.Connect("127.0.0.1", port);
  ASSERT_TRUE(recorder->WaitForDynamics(5, 5s));
  ASSERT_EQ(kill(program.Pid, SIGTERM), 0);
  EXPECT_EQ(program.WaitExit(5s), 0);
  EXPECT_TRUE(recorder->WaitForDisconnect(5s)) << "the connection is closed";
  const std::string rest = program.ReadRest(2s);
  EXPECT_NE(rest.find("stopped by SIGTERM"), std::string::npos) << rest;
}

TEST(QsSimProgram, HelpAndBadOptions) {
  {
    VProgram program({"--help"});
    ASSERT_TRUE(program.Running());
    const std::string text = program.ReadRest(5s);
    EXPECT_EQ(program.WaitExit(5s), 0);
    for (const char* option : {"--port", "--address", "--rate", "--frames", "--max-clients", "--quiet", "--help"})
      EXPECT_NE(text.find(option), std::string::npos) << option;
  }
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--port", "70000"}, {"--rate", "-5"}, {"--frames"}, {"--bogus"}}) {
    VProgram program(args);
    ASSERT_TRUE(program.Running());
    EXPECT_EQ(program.WaitExit(5s), 2) << args[0];
  }
}
