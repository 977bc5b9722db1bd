// qs-record as a program on a full disk, simulated by a file size limit:
// whatever it leaves at its output is a readable recording ending on its
// last whole record, its summary gives that file's size, and a recording
// that could not take even the server's first packet leaves the previous
// file in place.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "testing/capture_server.h"
#include "tools/sim/simulator.h"
#include "tools/recording/recording.h"

namespace {

struct VRun {
  int Status = -1;
  std::string Output;  // standard output and error
};

// qs-record for `frames` frames from `port`, its files limited to `limit` bytes.
// The test capture server answers requests: stream mode 0 unless `mode` says.
VRun Record(uint16_t port, const std::string& file, rlim_t limit, const char* frames = "10",
            const char* mode = "--request") {
  const std::string portText = std::to_string(port);
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    close(fds[0]);
    signal(SIGXFSZ, SIG_IGN);
    const rlimit size{limit, limit};
    setrlimit(RLIMIT_FSIZE, &size);
    execl(QS_RECORD_BINARY, QS_RECORD_BINARY, "127.0.0.1", "--port", portText.c_str(), "--frames", frames, mode, "--quiet",
          "-o", file.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  VRun run;
  char chunk[512];
  for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) run.Output.append(chunk, static_cast<std::size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST(QsRecordProgram, FullDiskLeavesAReadableRecordingOrThePreviousFile) {
  const std::string file = testing::TempDir() + "qs_record_" + std::to_string(getpid()) + ".qsrec";
  // 50 bytes: not even the header; 120: the header but not the handshake;
  // 400: the handshake and 6 of the 20-byte frame packets.
  for (const rlim_t limit : {50, 120, 400}) {
    QSTesting::VCaptureServer server;
    ASSERT_TRUE(server.Start()) << server.LastError();
    for (int32_t frame = 1; frame <= 10; ++frame) server.Push(LumoraQSServe::EncodePacket({LumoraQSServe::EncodeFrameNumber(frame)}));
    std::ofstream(file) << "previous";
    const VRun run = Record(server.Port(), file, limit);
    EXPECT_EQ(run.Status, 1) << run.Output;
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (limit < 400) {
      EXPECT_EQ(bytes, "previous") << limit << ": " << run.Output;
      continue;
    }
    EXPECT_NE(run.Output.find("6 frames"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find(" " + std::to_string(bytes.size()) + " B to "), std::string::npos) << run.Output;
    QSRecording::VFile recording;
    ASSERT_TRUE(recording.Open(file)) << recording.Error();
    QSRecording::VRecordEntry entry;
    while (recording.Reader().Next(entry, nullptr) == QSRecording::ENext::Record) {
    }
    EXPECT_EQ(recording.Reader().Records(), 7u) << recording.Reader().Error();
    EXPECT_EQ(recording.Reader().Next(entry, nullptr), QSRecording::ENext::End);
  }
  std::remove(file.c_str());
}

TEST(QsRecordProgram, ServerEndingBeforeTheFrameLimitFailsAndKeepsEveryFrame) {
  const std::string file = testing::TempDir() + "qs_record_early_" + std::to_string(getpid()) + ".qsrec";
  LumoraQSSim::VSimulatorOptions options;
  options.Address = "127.0.0.1";
  options.Port = 0;
  options.Rate = 200.0;
  options.Frames = 30;
  LumoraQSSim::VSimulator simulator(options);
  ASSERT_TRUE(simulator.Start()) << simulator.LastError();
  const VRun run = Record(simulator.Port(), file, RLIM_INFINITY, "100", "--quiet");
  EXPECT_EQ(run.Status, 3) << run.Output;
  EXPECT_NE(run.Output.find("the server closed the connection before --frames"), std::string::npos) << run.Output;
  // Pushed (the default): frames 0 to 29 of the clock, none missing.
  EXPECT_NE(run.Output.find("30 frames (numbers 0 to 29)"), std::string::npos) << run.Output;
  EXPECT_NE(run.Output.find("no frame numbers missing"), std::string::npos) << run.Output;
  QSRecording::VFile recording;
  EXPECT_TRUE(recording.Open(file)) << recording.Error();
  std::remove(file.c_str());
}

}  // namespace
