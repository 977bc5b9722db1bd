// VOutputFile: how the tools (qs-export, qs-record) write a file named on
// their command line. The data goes to a new file beside the target, which
// is put in the target's place (rename) only once it is complete, so a
// previous file of that name stays whole until then, and a run that fails,
// or is ended by SIGINT or SIGTERM, leaves no half-written file behind.
//
// A target that is one of the program's inputs (the same file, compared by
// device and inode, so through symbolic and hard links) is refused before
// anything is written. A target that exists and is not a regular file (a
// terminal, a pipe, /dev/null) is written directly: it cannot be replaced.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace QSTools {

class VOutputFile {
 public:
  VOutputFile() = default;
  // Discards the file unless Commit() succeeded.
  ~VOutputFile();
  VOutputFile(const VOutputFile&) = delete;
  VOutputFile& operator=(const VOutputFile&) = delete;

  // Opens the file that will become `target`. False with Error() when the
  // target is one of `inputs`, or the file cannot be created.
  [[nodiscard]] bool Create(const std::string& target, const std::vector<std::string>& inputs = {});
  // The open file, for write(2), or as a buffered stream (which then owns
  // the descriptor; take one or the other).
  int Descriptor() const { return Fd; }
  std::FILE* Stream();
  // Writes out what is buffered, flushes it to the disk, and puts the file
  // in the target's place. False with Error() (the file is then discarded).
  [[nodiscard]] bool Commit();
  // Removes the file; the target stays as it was.
  void Discard();

  const std::string& Error() const { return Message; }

 private:
  bool Fail(const std::string& message);

  std::string Target;     // where the file goes when complete
  std::string Temporary;  // beside it; empty when the target is written directly
  int Fd = -1;
  std::FILE* Buffered = nullptr;
  std::string Message;
};

// Makes SIGINT and SIGTERM remove the files of every VOutputFile not yet
// committed before the program ends as the signal would end it. Signals the
// program ignores stay ignored.
void RemoveOutputsOnStopSignals();

// The one of `inputs` that standard output writes to (`qs-export FILE >>
// FILE`), or "" when it is none of them.
std::string InputBehindStandardOutput(const std::vector<std::string>& inputs);

}  // namespace QSTools
