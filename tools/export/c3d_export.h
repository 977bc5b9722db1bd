// The export of a recording to a C3D file (qs-export --format c3d): one C3D
// frame per frame number from the first recorded to the last, every marker
// of every subject as a point labelled "Subject:Marker", every force,
// moment, centre-of-pressure component and analog channel of every plate as
// an analog channel at the full sample rate. Frames that were not received
// are written with every point invalid and zero analog samples.
#pragma once

#include <cstdio>

#include "tools/export/export.h"

namespace QSExport {

// Runs the export to options.Output (required: the file is binary); every
// message goes to `messages`, each line starting with "qs-export: ".
VExportResult ExportC3D(const VExportOptions& options, std::FILE* messages);

}  // namespace QSExport
