// The full-rate table: the metadata line, the column names, then one row
// per sample: frame number, sample index, capture time, then every plate's
// Fx Fy Fz Mx My Mz Cx Cy Cz and Ch1 .. Chn at that sample.
//
// The table runs at the scan's samples per frame (the most any output
// held). An output that holds another number of samples in a frame leaves
// its cells of that frame empty (they cannot be put on the table's sample
// times without resampling); OtherCounts() tells the caller to warn.
#pragma once

#include <cstdint>
#include <cstdio>

#include "api/frame_queries.h"
#include "tools/export/frame_values.h"
#include "tools/export/metadata.h"
#include "tools/export/scan.h"
#include "tools/export/table.h"

namespace QSExport {

class VSampleTable {
 public:
  VSampleTable(std::FILE* out, const VScan& scan, const VTableSettings& settings);
  void Header();
  // The rows of the queries' current frame.
  void Rows(VFrameQueries& q);
  // Frames in which some output held another number of samples.
  uint64_t OtherCounts() const { return Mismatched; }

 private:
  VTable Table;
  const VScan& Scan;
  const VTableSettings& Settings;
  VChannelSamples Samples;
  uint64_t Mismatched = 0;
};

}  // namespace QSExport
