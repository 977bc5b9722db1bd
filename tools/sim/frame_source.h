// VFrameSource: what the simulator serves. The simulator owns connections,
// requests and the serving clock; a source says what each frame's packet
// holds and when it is due. The demo scene is one source, a recording
// (qs-sim --replay) another.
//
// Frames are numbered 0, 1, 2, ... in the order they are served; a source
// maps that number to the packet it sends (the demo scene uses it as the
// frame number itself, a recording as the index of its packets, pass after
// pass when it loops).
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "serve/wire_encoder.h"

namespace LumoraQSSim {

using LumoraQSServe::VBytes;

class VFrameSource {
 public:
  virtual ~VFrameSource() = default;

  // The first packet of every connection (the types the server offers).
  virtual VBytes Handshake() const = 0;

  // False: every frame is due at once (one per request, as fast as
  // requests come).
  virtual bool Paced() const = 0;
  // Seconds after the clock's start at which `frame` is due (paced only).
  virtual double DueAt(int64_t frame) const = 0;
  // The newest frame due `seconds` after the clock's start (paced only);
  // -1 before the first.
  virtual int64_t DueBy(double seconds) const = 0;
  // The last frame there is; -1 when the frames never end.
  virtual int64_t LastFrame() const = 0;

  virtual bool IsStaticType(int32_t type) const = 0;
  virtual bool IsDynamicType(int32_t type) const = 0;

  // The packet of `frame` with objects of the requested types only; with
  // `withStatic`, the scene description (the requested static types)
  // comes first. False with `error` when it cannot be had (a recording
  // that can no longer be read): the simulator then stops serving.
  [[nodiscard]] virtual bool Packet(int64_t frame, const std::set<int32_t>& requested, bool withStatic, VBytes& packet,
                                    std::string& error) const = 0;

  // True when a frame after `from` and before `to` carried a new scene
  // description that a client served `from`, then `to`, did not get.
  virtual bool SceneChangedBetween(int64_t from, int64_t to) const = 0;
};

}  // namespace LumoraQSSim
