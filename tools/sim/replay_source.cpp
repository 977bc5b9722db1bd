#include "tools/sim/replay_source.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "streamio/object_types.h"

namespace LumoraQSSim {

using LumoraQSServe::VBytes;
using QSRecording::ForEachObject;
using QSRecording::VObjectSpan;
using QSRecording::ENext;
using QSRecording::PacketHeaderBytes;
using QSRecording::VRecordEntry;
using LumoraQSStream::ERoute;
using LumoraQSStream::RouteOf;

namespace {

// Frame numbers are signed 32-bit on the wire; a raised number wraps the way
// the simulator's frame clock does.
int32_t Raised(int32_t number, int64_t by) {
  const int64_t raised = static_cast<int64_t>(number) + by;
  return raised > INT32_MAX ? static_cast<int32_t>(raised % 2147483648LL) : static_cast<int32_t>(raised);
}

// The minimum step from a recording's last packet to its first again.
constexpr int64_t MinLoopStepNs = 1000 * 1000;

}  // namespace

bool ValidSpeed(double speed) {
  return speed == 0.0 || (std::isfinite(speed) && speed >= MinReplaySpeed && speed <= MaxReplaySpeed);
}

std::string VReplaySource::Error() const {
  std::lock_guard<std::mutex> lock(FileMutex);
  return Message;
}

bool VReplaySource::Open(const std::string& path, const VReplayOptions& options) {
  Options = options;
  if (!ValidSpeed(options.Speed)) {
    Message = "the replay speed must be 0 (unpaced) or from " + std::to_string(MinReplaySpeed) + " to " +
              std::to_string(MaxReplaySpeed);
    return false;
  }
  VCheckedFile& file = File;
  if (!file.Open(path)) {
    Message = file.Error();
    return false;
  }
  std::vector<uint8_t> packet;
  bool first = true;
  for (;;) {
    VRecordEntry where;
    LumoraQSStream::VPacketDelivery delivery;
    const ENext next = file.Next(where, packet, delivery);
    if (next == ENext::End) break;
    if (next == ENext::Truncated) {
      CutShort = file.Error();
      break;
    }
    if (next == ENext::Invalid) {
      Message = file.Error();
      return false;
    }
    if (first) {
      HandshakeBytes = packet;
      first = false;
      continue;
    }
    VEntry entry;
    entry.RecordOffset = where.RecordOffset;
    entry.Time = where.ReceiveNs;
    entry.FramePayload = where.FramePayload;
    ForEachObject(packet.data(), packet.size(), [&entry](const VObjectSpan& object) {
      if (RouteOf(object.Type) == ERoute::Static) entry.HasStatic = true;
    });
    if (entry.FramePayload != 0) {
      if (FrameSpan == 0 || where.FrameNumber < MinFrame) MinFrame = where.FrameNumber;
      if (FrameSpan == 0 || where.FrameNumber > MaxFrame) MaxFrame = where.FrameNumber;
      FrameSpan = static_cast<int64_t>(MaxFrame) - MinFrame + 1;
    }
    if (entry.HasStatic) SceneEntries.push_back(Entries.size());
    Entries.push_back(entry);
  }
  if (first) {
    Message = "the recording holds no packet";
    return false;
  }
  if (Entries.empty()) {
    Message = "the recording holds no packet after the handshake";
    return false;
  }
  StartNs = Entries.front().Time;
  for (VEntry& entry : Entries) entry.Time -= StartNs;
  const int64_t span = Entries.back().Time;
  const int64_t step = Entries.size() > 1 ? span / static_cast<int64_t>(Entries.size() - 1) : 0;
  LoopNs = span + std::max(step, MinLoopStepNs);
  return true;
}

double VReplaySource::Seconds() const { return Entries.empty() ? 0.0 : Entries.back().Time / 1e9; }

double VReplaySource::DueAt(int64_t frame) const {
  const int64_t count = static_cast<int64_t>(Entries.size());
  const int64_t pass = frame / count;
  const double ns = static_cast<double>(pass) * static_cast<double>(LoopNs) +
                    static_cast<double>(Entries[static_cast<std::size_t>(frame % count)].Time);
  return ns / 1e9 / Options.Speed;
}

int64_t VReplaySource::DueBy(double seconds) const {
  const double ns = seconds * Options.Speed * 1e9;
  if (!(ns >= 0.0)) return -1;
  const int64_t count = static_cast<int64_t>(Entries.size());
  const double passes = std::floor(ns / static_cast<double>(LoopNs));
  // Past the end without looping, or beyond any frame number that matters.
  if (!Options.Loop && passes >= 1.0) return count - 1;
  if (passes > 1e12) return INT64_MAX / 2;
  const int64_t pass = static_cast<int64_t>(passes);
  const double within = ns - passes * static_cast<double>(LoopNs);
  const auto after = std::upper_bound(Entries.begin(), Entries.end(), within,
                                      [](double t, const VEntry& entry) { return t < static_cast<double>(entry.Time); });
  return pass * count + (after - Entries.begin()) - 1;
}

int64_t VReplaySource::LastFrame() const { return Options.Loop ? -1 : static_cast<int64_t>(Entries.size()) - 1; }

bool VReplaySource::IsStaticType(int32_t type) const { return RouteOf(type) == ERoute::Static; }

bool VReplaySource::IsDynamicType(int32_t type) const { return RouteOf(type) == ERoute::Dynamic; }

uint64_t VReplaySource::ScenesUpTo(int64_t frame) const {
  if (frame < 0) return 0;
  const int64_t count = static_cast<int64_t>(Entries.size());
  const uint64_t within = static_cast<uint64_t>(frame % count);
  return static_cast<uint64_t>(frame / count) * SceneEntries.size() +
         static_cast<uint64_t>(std::upper_bound(SceneEntries.begin(), SceneEntries.end(), within) - SceneEntries.begin());
}

bool VReplaySource::SceneChangedBetween(int64_t from, int64_t to) const {
  return to - 1 > from && ScenesUpTo(to - 1) > ScenesUpTo(from);
}

const VReplaySource::VEntry* VReplaySource::SceneFor(int64_t frame) const {
  if (SceneEntries.empty()) return nullptr;
  const int64_t count = static_cast<int64_t>(Entries.size());
  const uint64_t within = static_cast<uint64_t>(frame % count);
  // The newest packet with a description at or before this one; on a later
  // pass, the last one of the pass before.
  const auto after = std::upper_bound(SceneEntries.begin(), SceneEntries.end(), within);
  if (after != SceneEntries.begin()) return &Entries[static_cast<std::size_t>(*(after - 1))];
  if (frame < count) return nullptr;
  return &Entries[static_cast<std::size_t>(SceneEntries.back())];
}

bool VReplaySource::Read(const VEntry& entry, VBytes& packet, std::string& error) const {
  if (File.Reader().ReadRecordAt(entry.RecordOffset, entry.Time + StartNs, packet)) return true;
  Message = error = File.Reader().Error();
  return false;
}

bool VReplaySource::Packet(int64_t frame, const std::set<int32_t>& requested, bool withStatic, VBytes& packet,
                           std::string& error) const {
  const int64_t count = static_cast<int64_t>(Entries.size());
  const VEntry& entry = Entries[static_cast<std::size_t>(frame % count)];
  const int64_t raiseBy = (frame / count) * FrameSpan;
  const VEntry* sceneEntry = withStatic && !entry.HasStatic ? SceneFor(frame) : nullptr;
  std::lock_guard<std::mutex> lock(FileMutex);
  if (!Read(entry, packet, error)) return false;
  if (sceneEntry && !Read(*sceneEntry, Scene, error)) return false;

  auto wanted = [&requested](int32_t type) {
    return requested.count(type) != 0 || RouteOf(type) == ERoute::Summary;
  };
  if (raiseBy != 0 && entry.FramePayload != 0) {
    int32_t number = 0;
    std::memcpy(&number, packet.data() + entry.FramePayload, 4);
    number = Raised(number, raiseBy);
    std::memcpy(packet.data() + entry.FramePayload, &number, 4);
  }
  // The objects a client gets are moved down within the packet, in order,
  // after the scene's; nothing is held per object. A packet every object
  // of which is wanted goes out as recorded.
  VBytes head;
  if (sceneEntry) {
    ForEachObject(Scene.data(), Scene.size(), [&](const VObjectSpan& object) {
      if (RouteOf(object.Type) == ERoute::Static && wanted(object.Type))
        head.insert(head.end(), Scene.begin() + object.Begin, Scene.begin() + object.End);
    });
  }
  std::size_t kept = PacketHeaderBytes;
  ForEachObject(packet.data(), packet.size(), [&](const VObjectSpan& object) {
    if (!wanted(object.Type)) return;
    if (object.Begin != kept) std::memmove(packet.data() + kept, packet.data() + object.Begin, object.End - object.Begin);
    kept += object.End - object.Begin;
  });
  packet.resize(kept);
  packet.insert(packet.begin() + PacketHeaderBytes, head.begin(), head.end());
  const uint32_t payload = static_cast<uint32_t>(packet.size() - PacketHeaderBytes);
  for (int i = 0; i < 4; ++i) packet[4 + static_cast<std::size_t>(i)] = static_cast<uint8_t>(payload >> (8 * i));
  return true;
}

}  // namespace LumoraQSSim
