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
#include <mutex>
#include <string>
#include <vector>

#include "tools/recording/recording.h"
#include "tools/sim/frame_source.h"

namespace QSRecording {

struct VReplayOptions {
  double Speed = 1.0;  // 0: unpaced, one packet per request as fast as they come
  bool Loop = false;
};

class VReplaySource : public LumoraQSSim::VFrameSource {
 public:
  // Reads and checks the whole recording: its framing, and every packet
  // with the library's packet reader. False with Error() when the file is
  // refused; a file cut short is served up to its last whole record, and
  // Warning() says so.
  bool Open(const std::string& path, const VReplayOptions& options);
  const std::string& Error() const { return Message; }
  const std::string& Warning() const { return CutShort; }

  std::size_t PacketCount() const { return Entries.size(); }
  double Seconds() const;
  bool HasFrameNumbers() const { return FrameSpan > 0; }
  int32_t FirstFrameNumber() const { return MinFrame; }
  int32_t LastFrameNumber() const { return MaxFrame; }

  LumoraQSSim::VBytes Handshake() const override { return HandshakeBytes; }
  bool Paced() const override { return Options.Speed > 0.0; }
  double DueAt(int64_t frame) const override;
  int64_t DueBy(double seconds) const override;
  int64_t LastFrame() const override;
  bool IsStaticType(int32_t type) const override;
  bool IsDynamicType(int32_t type) const override;
  LumoraQSSim::VBytes Packet(int64_t frame, const std::set<int32_t>& requested, bool withStatic) const override;
  bool SceneChangedBetween(int64_t from, int64_t to) const override;

 private:
  struct VEntry {
    VRecordEntry Where;
    int64_t Time = 0;            // since the first packet after the handshake, ns
    bool Whole = false;          // its objects can be cut apart (SplitObjects)
    bool HasStatic = false;      // it carries a scene description
    uint64_t StaticUpTo = 0;     // packets carrying one, this one included
    uint32_t FramePayload = 0;   // where its FrameNumber value lies (0: none)
    int32_t FrameNumber = 0;
  };

  uint64_t ScenesUpTo(int64_t frame) const;
  // The packet that holds the scene description a client needs with `frame`;
  // null when none came before it.
  const VEntry* SceneFor(int64_t frame) const;

  VReplayOptions Options;
  LumoraQSSim::VBytes HandshakeBytes;
  std::vector<VEntry> Entries;
  int64_t LoopNs = 1;
  int32_t MinFrame = 0;
  int32_t MaxFrame = 0;
  int64_t FrameSpan = 0;  // MaxFrame - MinFrame + 1, 0 without frame numbers
  std::string Message;
  std::string CutShort;

  mutable std::mutex FileMutex;  // the file is read by the serving thread
  mutable VFile File;
};

}  // namespace QSRecording
