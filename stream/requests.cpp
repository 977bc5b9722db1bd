#include "stream/requests.h"

#include "streamio/object_types.h"

namespace LumoraQSStream {

using LumoraQSStreamIO::VWriter;
using LumoraQSStreamIO::VWriterSection;

bool BuildRequest(VWriter& writer, VRequestState& state) {
  if (!state.ModeChanged && !state.TypesChanged && state.StreamMode != 0) return false;
  {
    VWriterSection packet(writer, PacketMagic);
    if (state.TypesChanged) {
      // The whole set, in ascending order, whatever changed.
      VWriterSection object(writer, ObjectTypeList);
      writer.WriteInt32(static_cast<int32_t>(state.RequestedTypes.size()));
      for (int32_t type : state.RequestedTypes) writer.WriteInt32(type);
    }
    if (state.StreamMode == 0 || state.ModeChanged) {
      VWriterSection object(writer, StreamMode);
      writer.WriteByte(state.StreamMode);
    }
  }
  state.TypesChanged = false;
  state.ModeChanged = false;
  return true;
}

}  // namespace LumoraQSStream
