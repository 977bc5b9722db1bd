// The per-frame table: the metadata line, the column names, then one row per
// frame: frame number, receive time, capture time, every segment's pose,
// every marker's position, the first sample of every plate channel.
#pragma once

#include <cstdint>
#include <cstdio>

#include "api/frame_queries.h"
#include "tools/export/metadata.h"
#include "tools/export/scan.h"
#include "tools/export/table.h"

namespace QSExport {

class VFrameTable {
 public:
  VFrameTable(std::FILE* out, const VScan& scan, const VTableSettings& settings);
  void Header();
  // The row of the queries' current frame, received at `receiveNs`.
  // Rotations are converted to the queries' axes with the translations.
  void Row(VFrameQueries& q, int64_t receiveNs);

 private:
  VTable Table;
  const VScan& Scan;
  const VTableSettings& Settings;
};

}  // namespace QSExport
