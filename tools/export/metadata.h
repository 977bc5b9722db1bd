// What both tables say about themselves: the settings they are written
// with, and the metadata line that opens each file, so that a reader of the
// file alone can tell its rate, axes and units.
#pragma once

#include <string>

#include "tools/export/scan.h"
#include "tools/units/units.h"

namespace QSExport {

using QSUnits::VUnits;

struct VTableSettings {
  char Delimiter = ',';
  bool LeftHanded = false;
  bool YUp = false;
  VUnits Units;
};

// One line, holding neither delimiter nor quote, so that it is one cell to a
// CSV or TSV reader and the table loads with its first line skipped:
//   # qs-export; rate 100 Hz estimated; axes z-up right-handed; time s;
//   length mm; force N; moment N.m; voltage V
// (on one line), with "; samples per frame 10" for the full-rate table.
// The rate is written so that it reads back as the double the capture
// times were computed with.
std::string MetadataLine(const VScan& scan, const VTableSettings& settings, bool fullRate);

}  // namespace QSExport
