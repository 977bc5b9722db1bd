// qs-export: turns a recording into tables: one row per frame, and one row
// per force plate sample beside it. The work is the export library's
// (tools/export); this is its command line.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/command_line.h"
#include "tools/export/export.h"
#include "tools/output/output_file.h"

namespace {

// The frame rates --rate accepts.
constexpr double MinRateHz = 0.001;
constexpr double MaxRateHz = 1000000.0;

const char Usage[] =
    "Usage: qs-export FILE [options]\n"
    "Writes a recording made by qs-record as tables.\n"
    "\n"
    "The frame table, one row per frame: frame number, time [s] (receive time\n"
    "since the start), capture_time [s] ((frame - first frame) / rate), then for\n"
    "every subject's segment its translation and rotation quaternion\n"
    "(S/SEG/tx ty tz [mm], qx qy qz qw), every marker's position (S/M/x y z [mm]),\n"
    "every force plate's force, moment and centre of pressure (PlateID/Fx Fy Fz\n"
    "[N], Mx My Mz [N.m], Cx Cy Cz [mm]) and its analog voltages (PlateID/Ch1 ...\n"
    "[V]), each the first sample of the frame, as the library's queries return it.\n"
    "\n"
    "The full-rate table, one row per sample: frame, sample (index in the frame),\n"
    "capture_time [s] (the frame's + sample / (rate x samples per frame)), then\n"
    "every plate's Fx .. Cz and Ch1 .. at that sample. It goes to --analog FILE,\n"
    "by default beside -o FILE with its extension replaced (walk.csv ->\n"
    "walk.analog.csv); on standard output only the frame table is written.\n"
    "Samples of an output holding another number per frame than the table's (the\n"
    "most any output holds) are left empty in that frame, with a warning.\n"
    "\n"
    "Each file starts with one line: '# qs-export; rate R Hz estimated|given;\n"
    "axes z-up|y-up right-handed|left-handed; time s; length mm; force N; moment\n"
    "N.m; voltage V' (the full-rate table adds '; samples per frame N'); skip it\n"
    "to load the table (pandas.read_csv(f, skiprows=1)).\n"
    "The stream carries no units: they are the simulator's (mm, N, N.m, V)\n"
    "unless --units says otherwise. The rate is estimated over the whole\n"
    "recording (least squares of receive time against frame number; said on\n"
    "standard error) unless --rate gives it; a recording of one frame, or whose\n"
    "frame numbers do not advance, needs --rate.\n"
    "Empty cells: occluded, or not in that frame.\n"
    "In column names a / or \\ inside a name is written \\/ or \\\\, control\n"
    "characters \\t \\r \\n \\xHH; a name starting with = + - @ or ' gets a\n"
    "leading ' (so no spreadsheet runs it as a formula).\n"
    "\n"
    "With --format c3d, one C3D file instead (-o FILE needed): 512-byte blocks,\n"
    "Intel byte order, floating-point data; one C3D frame per frame number from\n"
    "the first recorded to the last (a frame not received: every point invalid,\n"
    "residual -1, and zero analog samples; the count is said on standard error);\n"
    "POINT: every marker of every subject, labelled Subject:Marker, in the length\n"
    "unit; ANALOG: every plate's Fx .. Cz and Ch1 .. as channels labelled\n"
    "PlateID:Fx .. at samples per frame x rate, with scale 1 and offset 0 (the\n"
    "recorded values) and their units; FORCE_PLATFORM: USED 0 (the stream carries\n"
    "no plate geometry: the plate data are the analog channels, already in\n"
    "physical units); TRIAL:ACTUAL_START_FIELD and ACTUAL_END_FIELD: the first and\n"
    "last frame numbers (also past 65535).\n"
    "\n"
    "Options:\n"
    "  --format csv|tsv|c3d  comma- or tab-separated tables (default csv), or C3D\n"
    "  -o, --output FILE  the frame table (the C3D file) to FILE (default: standard\n"
    "                     output)\n"
    "  --analog FILE      the full-rate table to FILE\n"
    "  --rate HZ          the frames per second of the capture\n"
    "  --units LIST       units of the data, any of\n"
    "                     length=mm,force=N,moment=N.m,voltage=V (the defaults)\n"
    "  --left-handed      left-handed output (x negated)\n"
    "  --y-up             Y-up output: (x, y, z) becomes (x, z, -y)\n"
    "                     (the axis options convert rotations with positions)\n"
    "  --help             show this text\n"
    "Each table is written beside its file and renamed to it when both are\n"
    "complete, so a previous file stays whole until then and a failed or\n"
    "interrupted run leaves none behind; the recording itself is never an output.\n"
    "Exit status: 0 when the tables were written (also for a recording cut short,\n"
    "which is said on standard error), 1 when the recording is refused (no frame,\n"
    "no rate) or a table cannot be written, 2 for a bad command line.\n";

// 0: run; 1: help shown; 2: bad command line (message printed).
int ParseOptions(int argc, char** argv, QSExport::VExportOptions& options) {
  QSTools::VCommandLine line("qs-export", argc, argv);
  QSExport::VTableSettings& settings = options.Settings;
  bool unitsGiven = false;
  double rate = 0;
  while (line.Next()) {
    const char* value = nullptr;
    std::string why;
    if (line.Flag({"--help", "-h"})) {
      std::fputs(Usage, stdout);
      return 1;
    } else if (line.Flag({"--left-handed"})) {
      settings.LeftHanded = true;
    } else if (line.Flag({"--y-up"})) {
      settings.YUp = true;
    } else if ((value = line.Value({"--format"})) && (std::strcmp(value, "csv") == 0 || std::strcmp(value, "tsv") == 0)) {
      settings.Delimiter = value[0] == 't' ? '\t' : ',';
      options.C3D = false;
    } else if ((value = line.Value({"--format"})) && std::strcmp(value, "c3d") == 0) {
      options.C3D = true;
    } else if ((value = line.Value({"-o", "--output"})) && *value != '\0') {
      options.Output = value;
    } else if ((value = line.Value({"--analog"})) && *value != '\0') {
      options.FullRate = value;
    } else if ((value = line.Value({"--rate"})) && QSTools::ParseReal(value, MinRateHz, MaxRateHz, rate)) {
      options.Rate = rate;
    } else if ((value = line.Value({"--units"})) && !unitsGiven) {
      unitsGiven = true;
      if (!settings.Units.Parse(value, why)) {
        std::fprintf(stderr, "qs-export: --units %s: %s\n", value, why.c_str());
        return 2;
      }
    } else if (line.Positional() && options.Input.empty()) {
      options.Input = line.Arg();
    } else {
      return line.Bad();
    }
  }
  if (options.Input.empty()) {
    std::fprintf(stderr, "qs-export: name the recording: qs-export FILE (see --help)\n");
    return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QSExport::VExportOptions options;
  const int parsed = ParseOptions(argc, argv, options);
  if (parsed != 0) return parsed == 1 ? 0 : 2;
  if (!options.Output.empty() || !options.FullRate.empty()) QSTools::RemoveOutputsOnStopSignals();
  return QSExport::Export(options, stderr).Status;
}
