// A whole export of a recording to its tables: the scan, the per-frame
// table and the full-rate table, each written beside its target and put in
// place only when both are complete (QSTools::VOutputFile).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/export/metadata.h"

namespace QSExport {

struct VExportOptions {
  std::string Input;
  std::string Output;  // "": standard output
  // The full-rate table's file; "" gives FullRatePath(Output) with a named
  // Output, and no full-rate table on standard output.
  std::string FullRate;
  double Rate = 0;  // > 0: given; 0: estimated
  bool C3D = false;  // a C3D file (c3d_export.h) instead of the tables
  VTableSettings Settings;
};

// Where the full-rate table goes by default: `output` with its extension
// replaced by ".analog" and the extension ("walk.csv" -> "walk.analog.csv");
// without one, ".analog.csv" (".analog.tsv" for TSV) added.
std::string FullRatePath(const std::string& output, char delimiter);

struct VExportResult {
  int Status = 0;       // 0 written, 1 refused or not written
  uint64_t Frames = 0;  // frames exported
};

// Runs the export; every message (errors, the rate estimate, warnings) goes
// to `messages`, each line starting with "qs-export: ".
VExportResult Export(const VExportOptions& options, std::FILE* messages);

}  // namespace QSExport
