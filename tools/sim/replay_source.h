// VReplaySource: a recording as the simulator's frame source (qs-sim
// --replay). Each connection gets the recorded handshake, then the recorded
// packets in order, due at their recorded receive times (scaled by the
// speed). Objects of types a client did not ask for are left out, as the
// simulator leaves them out, and a client that joins, or that skipped a
// packet carrying the scene description, gets the newest description with
// its next packet. Everything else goes out byte for byte as recorded.
//
// With looping, the recording starts again after its last packet, one mean
// packet interval later, and every frame number of pass k is raised by k
// times the span of the recording's frame numbers, so frame numbers keep
// rising.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "tools/recording/recording.h"
#include "tools/sim/frame_source.h"

namespace LumoraQSSim {

using QSRecording::VCheckedFile;

// The replay speeds served: 0 (unpaced), or a factor on the recorded pace
// from MinReplaySpeed to MaxReplaySpeed.
constexpr double MinReplaySpeed = 1e-3;
constexpr double MaxReplaySpeed = 1e6;

struct VReplayOptions {
  double Speed = 1.0;  // 0: unpaced, one packet per request as fast as they come
  bool Loop = false;
};

// True for a speed VReplaySource serves.
bool ValidSpeed(double speed);

class VReplaySource : public VFrameSource {
 public:
  // Reads and checks the whole recording: its framing, and every packet
  // with the library's packet reader. False with Error() when the file is
  // refused (or the speed is not one of ValidSpeed); a file cut short is
  // served up to its last whole record, and Warning() says so. What is
  // kept is an index of a few bytes per record; packets are read from the
  // file again when they are served.
  bool Open(const std::string& path, const VReplayOptions& options);
  // Why Open failed, or why a packet could not be served.
  std::string Error() const;
  const std::string& Warning() const { return CutShort; }

  std::size_t PacketCount() const { return Entries.size(); }
  double Seconds() const;
  bool HasFrameNumbers() const { return FrameSpan > 0; }
  int32_t FirstFrameNumber() const { return MinFrame; }
  int32_t LastFrameNumber() const { return MaxFrame; }

  LumoraQSServe::VBytes Handshake() const override { return HandshakeBytes; }
  bool Paced() const override { return Options.Speed > 0.0; }
  double DueAt(int64_t frame) const override;
  int64_t DueBy(double seconds) const override;
  int64_t LastFrame() const override;
  bool IsStaticType(int32_t type) const override;
  bool IsDynamicType(int32_t type) const override;
  bool Packet(int64_t frame, const std::set<int32_t>& requested, bool withStatic, LumoraQSServe::VBytes& packet,
              std::string& error) const override;
  bool SceneChangedBetween(int64_t from, int64_t to) const override;

 private:
  // One recorded packet after the handshake: where its record starts and
  // when it is due. Kept small: a recording of millions of tiny packets is
  // indexed in a few bytes per record.
  struct VEntry {
    uint64_t RecordOffset = 0;
    int64_t Time = 0;           // since the first packet after the handshake, ns
    uint32_t FramePayload = 0;  // where its FrameNumber value lies (0: none)
    bool HasStatic = false;     // it carries a scene description
  };

  uint64_t ScenesUpTo(int64_t frame) const;
  // The packet that holds the scene description a client needs with `frame`;
  // null when none came before it.
  const VEntry* SceneFor(int64_t frame) const;
  // Reads a recorded packet again; false with `error`.
  bool Read(const VEntry& entry, LumoraQSServe::VBytes& packet, std::string& error) const;

  VReplayOptions Options;
  LumoraQSServe::VBytes HandshakeBytes;
  std::deque<VEntry> Entries;         // a deque grows without copying what it holds
  std::deque<uint64_t> SceneEntries;  // indexes of the entries that carry a description
  int64_t StartNs = 0;                // the receive time of the first entry
  int64_t LoopNs = 1;
  int32_t MinFrame = 0;
  int32_t MaxFrame = 0;
  int64_t FrameSpan = 0;  // MaxFrame - MinFrame + 1, 0 without frame numbers
  std::string CutShort;

  mutable std::mutex FileMutex;  // the file is read by every connection's sender thread
  mutable VCheckedFile File;
  mutable std::string Message;
  mutable LumoraQSServe::VBytes Scene;  // scratch for a scene packet, under FileMutex
};

}  // namespace LumoraQSSim
