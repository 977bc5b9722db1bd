// The object types the exports ask for after Connect and the calls that
// enable segments, markers and force plates: what a server sends a host that
// uses every data kind.
#pragma once

#include <cstdint>
#include <set>

#include "streamio/object_types.h"

namespace QSBench {

inline const std::set<int32_t>& ExportTypes() {
  static const std::set<int32_t> types = [] {
    using LumoraQSStream::EDataKind;
    std::set<int32_t> asked;
    for (EDataKind kind : {EDataKind::Scene, EDataKind::Segments, EDataKind::Markers, EDataKind::ForcePlates}) {
      for (int32_t type : LumoraQSStream::TypesOfKind(kind)) asked.insert(type);
    }
    return asked;
  }();
  return types;
}

}  // namespace QSBench
