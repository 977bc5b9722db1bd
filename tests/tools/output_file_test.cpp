// VOutputFile: a stop signal in the middle of writing leaves the previous
// file of that name as it was, and nothing beside it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "tools/output/output_file.h"

namespace {

TEST(OutputFile, StopSignalRemovesTheUnfinishedFileAndKeepsThePreviousOne) {
  const std::string target = testing::TempDir() + "qs_output_" + std::to_string(getpid()) + ".csv";
  std::ofstream(target) << "previous\n";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    QSTools::VOutputFile output;
    QSTools::RemoveOutputsOnStopSignals();
    if (!output.Create(target) || write(output.Descriptor(), "half", 4) != 4) _exit(3);
    raise(SIGTERM);
    _exit(4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  std::ifstream in(target);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), "previous\n");
  // The unfinished file was target.tmp-PID.
  EXPECT_NE(access((target + ".tmp-" + std::to_string(child)).c_str(), F_OK), 0);
  std::remove(target.c_str());
}

}  // namespace
