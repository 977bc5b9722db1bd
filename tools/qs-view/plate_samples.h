// VPlateSamples: every force-plate sample the capture server sends, for the
// page's strip charts. The exported functions give one sample per frame (the
// first), so this keeps a second connection of its own, made with the
// library's stream session in push mode and read through its packet reader
// and frame queries, as qs-export reads a recording. It keeps the vertical
// force of each plate for the last MaxKeptSamples samples.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/qs-view/frame_json.h"

namespace LumoraQSStream {
class VStreamSession;
}

namespace QSView {

// Samples of each plate kept for the page, and how many of the newest ones a
// message carries: a message a slow viewer skips is made up by the next.
struct VSampleLimits {
  std::size_t MaxKeptSamples = 4096;
  std::size_t SamplesPerMessage = 400;
  std::size_t MaxPlates = 32;
};

class VPlateSamples {
 public:
  VPlateSamples(std::string host, const VAxes& axes, VSampleLimits limits = {});
  ~VPlateSamples();  // stops and joins the reading thread
  VPlateSamples(const VPlateSamples&) = delete;
  VPlateSamples& operator=(const VPlateSamples&) = delete;

  // Starts the thread that connects, reads and retries every RetryEvery.
  void Start();
  void Stop();
  // Whether it may connect: only while the exports' own connection stands,
  // so that a server that takes few clients gives its place to the picture
  // first. A connection already made is kept.
  void AllowConnecting(bool allowed) { Allowed = allowed; }

  // ,"samples":{"state":STATE,"plates":[{"id":N,"end":E,"up":[...]}]} where
  // STATE is "connecting", "connected" or "failed" (the connection was
  // refused or lost; it is retried), "up" holds the newest samples of the
  // up component of the plate's force, in the chosen axes, and E counts the
  // samples of that plate received since qs-view started, so the page
  // appends only those it has not had.
  void AppendJson(std::string& out) const;

  static constexpr int RetryEveryMs = 500;

 private:
  struct VPlate {
    uint64_t End = 0;
    std::deque<float> Up;
  };
  void Read();
  void Add(int32_t id, const float* up, std::size_t count, std::size_t stride);
  class VObserver;

  const std::string Host;
  const VAxes Axes;
  const VSampleLimits Limits;
  std::thread Thread;
  std::atomic<bool> Stopping{false};
  std::atomic<bool> Allowed{false};
  mutable std::mutex Lock;
  LumoraQSStream::VStreamSession* Session = nullptr;  // guarded by Lock: the one being run
  const char* State = "connecting";                    // guarded by Lock
  std::map<int32_t, VPlate> Plates;                    // guarded by Lock
};

}  // namespace QSView
