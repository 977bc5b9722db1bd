#include "tools/output/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace QSTools {

namespace {

// Files being written that a stop signal must remove. A signal handler
// reads them, so they live in fixed storage and are published by a flag.
constexpr std::size_t MaxPendingOutputs = 4;
constexpr std::size_t MaxPendingPath = 4096;
// Names tried beside a target before giving up (another run of the same
// program id left one behind, say).
constexpr int MaxTemporaryNames = 10;

struct VPending {
  std::atomic<bool> Claimed{false};
  std::atomic<bool> Ready{false};
  char Path[MaxPendingPath] = {};
};
VPending Pending[MaxPendingOutputs];
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler reads these flags");

void Register(const std::string& path) {
  if (path.size() >= MaxPendingPath) return;  // cannot be removed by a signal; still by Discard()
  for (VPending& slot : Pending) {
    bool expected = false;
    if (!slot.Claimed.compare_exchange_strong(expected, true)) continue;
    std::memcpy(slot.Path, path.c_str(), path.size() + 1);
    slot.Ready.store(true);
    return;
  }
}

void Unregister(const std::string& path) {
  for (VPending& slot : Pending) {
    if (!slot.Ready.load() || path != slot.Path) continue;
    slot.Ready.store(false);
    slot.Claimed.store(false);
    return;
  }
}

extern "C" void RemovePendingOutputs(int signal) {
  for (VPending& slot : Pending) {
    if (slot.Ready.load()) ::unlink(slot.Path);
  }
  // The handler was reset to the default action (SA_RESETHAND), and the
  // signal is blocked while the handler runs: it ends the program as soon
  // as the handler returns.
  ::raise(signal);
}

// Stop signals held back while a finished file is put in place, so that a
// signal never removes a file already renamed to its target.
class VStopSignalsHeld {
 public:
  VStopSignalsHeld() {
    sigset_t stop;
    sigemptyset(&stop);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stop, signal);
    pthread_sigmask(SIG_BLOCK, &stop, &Previous);
  }
  ~VStopSignalsHeld() { pthread_sigmask(SIG_SETMASK, &Previous, nullptr); }
  VStopSignalsHeld(const VStopSignalsHeld&) = delete;
  VStopSignalsHeld& operator=(const VStopSignalsHeld&) = delete;

 private:
  sigset_t Previous;
};

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

// The one of `inputs` that is the file `file` describes, or "".
std::string InputAt(const struct stat& file, const std::vector<std::string>& inputs) {
  for (const std::string& input : inputs) {
    struct stat in {};
    if (::stat(input.c_str(), &in) == 0 && in.st_dev == file.st_dev && in.st_ino == file.st_ino) return input;
  }
  return "";
}

}  // namespace

VOutputFile::~VOutputFile() { Discard(); }

bool VOutputFile::Create(const std::string& target, const std::vector<std::string>& inputs) {
  Discard();
  // A file size limit (ulimit -f) then fails the write, as a full disk does,
  // instead of killing the program with the file half written.
  ::signal(SIGXFSZ, SIG_IGN);
  Target = target;
  struct stat existing {};
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (exists) {
    const std::string input = InputAt(existing, inputs);
    if (!input.empty()) return Fail(target + " is the input " + input + " itself; choose another output file");
    if (!S_ISREG(existing.st_mode)) {
      Fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      return Fd >= 0 || Fail(SystemError("cannot write " + target));
    }
    // Through a symbolic link the file it names is replaced, not the link.
    struct stat link {};
    if (::lstat(target.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      char resolved[PATH_MAX];
      if (::realpath(target.c_str(), resolved) != nullptr) Target = resolved;
    }
  }
  const std::string base = Target + ".tmp-" + std::to_string(::getpid());
  for (int attempt = 0; attempt < MaxTemporaryNames && Fd < 0; ++attempt) {
    Temporary = attempt == 0 ? base : base + "-" + std::to_string(attempt);
    Fd = ::open(Temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (Fd < 0 && errno != EEXIST) break;
  }
  if (Fd < 0) {
    const std::string message = SystemError("cannot create " + Temporary + " (to become " + target + ")");
    Temporary.clear();
    return Fail(message);
  }
  Register(Temporary);
  // A file replaced keeps its permissions.
  if (exists) (void)::fchmod(Fd, existing.st_mode & 07777);
  return true;
}

std::FILE* VOutputFile::Stream() {
  if (Buffered == nullptr && Fd >= 0) Buffered = ::fdopen(Fd, "w");
  return Buffered;
}

bool VOutputFile::Commit() {
  if (Fd < 0) return Fail("no output file is open");
  std::string failure;
  if (Buffered != nullptr && (std::fflush(Buffered) != 0 || std::ferror(Buffered))) failure = SystemError("cannot write " + Target);
  // Written out to the disk before the name moves over, so that a crash
  // after the rename does not leave an empty target; a disk that fills up
  // only now also says so here.
  if (failure.empty() && !Temporary.empty() && ::fsync(Fd) != 0) failure = SystemError("cannot write " + Target);
  const bool closed = (Buffered != nullptr ? std::fclose(Buffered) : ::close(Fd)) == 0;
  if (failure.empty() && !closed) failure = SystemError("cannot write " + Target);
  Buffered = nullptr;
  Fd = -1;
  if (!failure.empty()) {
    Discard();
    return Fail(failure);
  }
  if (Temporary.empty()) return true;
  VStopSignalsHeld held;
  if (::rename(Temporary.c_str(), Target.c_str()) != 0) {
    const std::string message = SystemError("cannot rename " + Temporary + " to " + Target);
    Discard();
    return Fail(message);
  }
  Unregister(Temporary);
  Temporary.clear();
  return true;
}

void VOutputFile::Discard() {
  if (Buffered != nullptr) {
    std::fclose(Buffered);
  } else if (Fd >= 0) {
    ::close(Fd);
  }
  Buffered = nullptr;
  Fd = -1;
  if (Temporary.empty()) return;
  ::unlink(Temporary.c_str());
  Unregister(Temporary);
  Temporary.clear();
}

bool VOutputFile::Fail(const std::string& message) {
  Message = message;
  return false;
}

void RemoveOutputsOnStopSignals() {
  struct sigaction action {};
  action.sa_handler = RemovePendingOutputs;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signal);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction previous {};
    if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
}

std::string InputBehindStandardOutput(const std::vector<std::string>& inputs) {
  struct stat out {};
  if (::fstat(STDOUT_FILENO, &out) != 0 || !S_ISREG(out.st_mode)) return "";
  return InputAt(out, inputs);
}

}  // namespace QSTools
