// The requests the client sends: which object types it wants and the
// stream mode it announces.
#pragma once

#include <cstdint>
#include <set>

#include "streamio/writer.h"

namespace LumoraQSStream {

struct VRequestState {
  std::set<int32_t> RequestedTypes;
  bool TypesChanged = false;
  bool ModeChanged = true;
  uint8_t StreamMode = 0;
};

// Builds the request `state` calls for into `writer` and clears both change
// flags. Returns false, writing nothing, when there is nothing to send
// (stream mode not 0 and nothing changed).
[[nodiscard]] bool BuildRequest(LumoraQSStreamIO::VWriter& writer, VRequestState& state);

}  // namespace LumoraQSStream
