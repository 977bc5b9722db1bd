// qs-export: turns a recording into a table with one row per frame. The
// recorded packets are decoded with the library's packet reader, and every
// cell is answered by the library's own frame queries (those behind the
// exported functions), so the table holds exactly what a host would have
// read from each frame: names, occlusion, force plate rules and axes alike.
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "api/frame_queries.h"
#include "client/frame_record.h"
#include "tools/command_line.h"
#include "tools/output/output_file.h"
#include "tools/recording/recording.h"

namespace {

const char Usage[] =
    "Usage: qs-export FILE [options]\n"
    "Writes a recording made by qs-record as a table, one row per frame: frame\n"
    "number, receive time (s), then for every subject's segment its translation\n"
    "and rotation quaternion (S/SEG/tx ty tz qx qy qz qw), every marker's position\n"
    "(S/M/x y z), every force plate's force, moment and centre of pressure\n"
    "(PlateID/Fx Fy Fz Mx My Mz Cx Cy Cz) and its analog voltages (PlateID/Ch1 ...).\n"
    "Empty cells: occluded, or not in that frame. Values are those the library's\n"
    "queries return (the first sample of each force plate component).\n"    "In column names a / or \\ inside a name is written \\/ or \\\\, control\n"
    "characters \\t \\r \\n \\xHH; a name starting with = + - @ or ' gets a\n"
    "leading ' (so no spreadsheet runs it as a formula).\n"
    "\n"
    "Options:\n"
    "  --format csv|tsv   comma- or tab-separated (default csv)\n"
    "  -o, --output FILE  write to FILE (default: standard output)\n"
    "  --left-handed      left-handed output (x negated)\n"
    "  --y-up             Y-up output: (x, y, z) becomes (x, z, -y)\n"
    "  --help             show this text\n"
    "The table is written beside FILE and renamed to it when complete, so a\n"
    "previous FILE stays whole until then and a failed or interrupted run\n"
    "leaves none behind; the recording itself is never an output.\n"
    "Exit status: 0 when the table was written (also for a recording cut short,\n"
    "which is said on standard error), 1 when the recording is refused or the\n"
    "output cannot be written, 2 for a bad command line.\n";

struct VOptions {
  std::string Input;
  std::string Output;  // "": standard output
  char Delimiter = ',';
  bool LeftHanded = false;
  bool YUp = false;
};

// Walks a recording's frames through the library's frame queries.
class VFrameWalk {
 public:
  VFrameQueries& Queries() { return Frame; }

  // Calls onFrame(receiveNs, sceneChanged) with the queries' current frame
  // set to each frame of the recording in turn. False with Error() when the
  // recording is refused; a recording cut short ends early, with Warning().
  template <class OnFrame>
  bool Run(const std::string& path, OnFrame onFrame) {
    QSRecording::VCheckedFile file;
    if (!file.Open(path)) return Fail(file.Error());
    std::vector<uint8_t> packet;
    std::shared_ptr<const LumoraQSStream::VStaticObjects> scene;
    bool newScene = false;
    for (;;) {
      QSRecording::VRecordEntry entry;
      LumoraQSStream::VPacketDelivery delivery;
      const QSRecording::ENext next = file.Next(entry, packet, delivery);
      if (next == QSRecording::ENext::End) return true;
      if (next == QSRecording::ENext::Truncated) {
        Warning = file.Error();
        return true;
      }
      if (next == QSRecording::ENext::Invalid) return Fail(file.Error());
      if (delivery.Static) {
        scene = delivery.Static;
        newScene = true;
      }
      if (!delivery.Dynamic) continue;
      VFrameRecord record;
      FillFrameRecord(scene.get(), delivery.Dynamic.get(), record);
      Frame.Exchange(record);
      onFrame(entry.ReceiveNs, newScene);
      newScene = false;
    }
  }

  const std::string& Error() const { return Message; }
  const std::string& CutShort() const { return Warning; }

 private:
  bool Fail(const std::string& message) {
    Message = message;
    return false;
  }

  VFrameQueries Frame;
  std::string Message;
  std::string Warning;
};

struct VSegmentColumn {
  std::string Subject, Segment;
  bool operator<(const VSegmentColumn& o) const { return std::tie(Subject, Segment) < std::tie(o.Subject, o.Segment); }
};

struct VPlateColumns {
  int32_t DeviceID = 0;
  int32_t Channels = 0;
};

// Every column the recording needs, in the order its names first appear.
class VColumns {
 public:
  // Takes in the names of the queries' current frame.
  void Collect(VFrameQueries& q) {
    int32_t subjects = 0;
    q.GetSubjectCount(subjects);
    for (int32_t s = 1; s <= subjects; ++s) {
      std::string subject;
      q.GetSubjectName(static_cast<uint32_t>(s), subject);
      int32_t count = 0;
      q.GetSegmentCount(subject, count);
      for (int32_t i = 1; i <= count; ++i) {
        std::string name;
        q.GetSegmentName(subject, static_cast<uint32_t>(i), name);
        Add(Segments, SegmentSeen, {subject, name});
      }
      q.GetMarkerCount(subject, count);
      for (int32_t i = 1; i <= count; ++i) {
        std::string name;
        q.GetMarkerName(subject, static_cast<uint32_t>(i), name);
        Add(Markers, MarkerSeen, {subject, name});
      }
    }
    int32_t plates = 0;
    q.GetForcePlateCount(plates);
    for (int32_t p = 1; p <= plates; ++p) {
      VPlateColumns plate;
      q.GetForcePlateID(static_cast<uint32_t>(p), plate.DeviceID);
      q.GetNumberOfAnalogChannels(plate.DeviceID, plate.Channels);
      bool known = false;
      for (VPlateColumns& seen : Plates) {
        if (seen.DeviceID != plate.DeviceID) continue;
        seen.Channels = std::max(seen.Channels, plate.Channels);
        known = true;
      }
      if (!known) Plates.push_back(plate);
    }
  }

  std::vector<VSegmentColumn> Segments;
  std::vector<VSegmentColumn> Markers;  // subject and marker
  std::vector<VPlateColumns> Plates;

 private:
  static void Add(std::vector<VSegmentColumn>& list, std::set<VSegmentColumn>& seen, VSegmentColumn column) {
    if (seen.insert(column).second) list.push_back(std::move(column));
  }
  std::set<VSegmentColumn> SegmentSeen;
  std::set<VSegmentColumn> MarkerSeen;
};

// One table row at a time into a buffered output.
class VTable {
 public:
  VTable(std::FILE* out, char delimiter) : Out(out), Delimiter(delimiter) {}

  // A text cell (a column name, its control characters already escaped by
  // NamePart). One that a spreadsheet would run as a formula (it starts
  // with =, +, - or @) gets a leading single quote, and so does one that
  // starts with a single quote already, so that a leading quote is always
  // one to drop. A cell holding the delimiter or a double quote is quoted as
  // CSV quotes (TSV readers such as pandas take the same quoting); escaped
  // names hold no tab or line break.
  void Text(std::string text) {
    Separate();
    if (!text.empty() && text[0] != '\0' && std::strchr("=+-@'", text[0]) != nullptr) text.insert(0, 1, '\'');
    if (text.find_first_of(std::string(1, Delimiter) + "\"") == std::string::npos) {
      std::fwrite(text.data(), 1, text.size(), Out);
      return;
    }
    std::fputc('"', Out);
    for (char c : text) {
      if (c == '"') std::fputc('"', Out);
      std::fputc(c, Out);
    }
    std::fputc('"', Out);
  }
  // The shortest text that reads back as exactly this value.
  template <class Real>
  void Number(Real value) {
    char text[64];
    const std::to_chars_result result = std::to_chars(text, text + sizeof text, value);
    Separate();
    std::fwrite(text, 1, static_cast<std::size_t>(result.ptr - text), Out);
  }
  void Integer(long long value) {
    Separate();
    std::fprintf(Out, "%lld", value);
  }
  void Seconds(int64_t ns) {
    Separate();
    std::fprintf(Out, "%lld.%09lld", static_cast<long long>(ns / 1000000000), static_cast<long long>(ns % 1000000000));
  }
  void Empty(int cells) {
    for (int i = 0; i < cells; ++i) Separate();
  }
  void EndRow() {
    std::fputc('\n', Out);
    First = true;
  }

 private:
  void Separate() {
    if (!First) std::fputc(Delimiter, Out);
    First = false;
  }
  std::FILE* Out;
  const char Delimiter;
  bool First = true;
};

// One name of the server's as part of a column name. The slash separates
// the parts, so a slash inside a name is written \/ and a backslash \\;
// control characters become \t, \r, \n or \xHH. Distinct names therefore
// give distinct column names, in CSV and TSV alike, each on one line.
std::string NamePart(const std::string& name) {
  std::string part;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\') {
      part += '\\';
      part += c;
    } else if (c == '\t' || c == '\r' || c == '\n') {
      part += c == '\t' ? "\\t" : c == '\r' ? "\\r" : "\\n";
    } else if (byte < 0x20 || byte == 0x7f) {
      static const char Hex[] = "0123456789ABCDEF";
      part += "\\x";
      part += Hex[byte >> 4];
      part += Hex[byte & 0xf];
    } else {
      part += c;
    }
  }
  return part;
}

std::string ColumnName(const std::string& owner, const std::string& item, const char* value) {
  return NamePart(owner) + "/" + NamePart(item) + "/" + value;
}

void WriteHeader(VTable& table, const VColumns& columns) {
  table.Text("frame");
  table.Text("time");
  for (const VSegmentColumn& c : columns.Segments) {
    for (const char* part : {"tx", "ty", "tz", "qx", "qy", "qz", "qw"}) table.Text(ColumnName(c.Subject, c.Segment, part));
  }
  for (const VSegmentColumn& c : columns.Markers) {
    for (const char* part : {"x", "y", "z"}) table.Text(ColumnName(c.Subject, c.Segment, part));
  }
  for (const VPlateColumns& plate : columns.Plates) {
    const std::string prefix = "Plate" + std::to_string(plate.DeviceID) + "/";
    for (const char* part : {"Fx", "Fy", "Fz", "Mx", "My", "Mz", "Cx", "Cy", "Cz"}) table.Text(prefix + part);
    for (int32_t c = 1; c <= plate.Channels; ++c) table.Text(prefix + "Ch" + std::to_string(c));
  }
  table.EndRow();
}

// Force plate values are 32-bit samples widened to double (and at most
// negated by the axis conversion): written as the 32-bit values they are.
void WritePlateVector(VTable& table, bool found, const std::array<double, 3>& v) {
  if (!found) return table.Empty(3);
  for (double value : v) table.Number(static_cast<float>(value));
}

void WriteRow(VTable& table, VFrameQueries& q, const VColumns& columns, int64_t receiveNs) {
  int32_t frame = 0;
  q.GetFrameNumber(frame);
  table.Integer(frame);
  table.Seconds(receiveNs);
  for (const VSegmentColumn& c : columns.Segments) {
    std::array<double, 3> t{};
    std::array<double, 4> quaternion{};
    bool occluded = true;
    if (q.GetGlobalSegmentTranslation(c.Subject, c.Segment, t, occluded) && !occluded &&
        q.GetGlobalSegmentRotationQuaternion(c.Subject, c.Segment, quaternion, occluded)) {
      for (double value : t) table.Number(value);
      for (double value : quaternion) table.Number(value);
    } else {
      table.Empty(7);
    }
  }
  for (const VSegmentColumn& c : columns.Markers) {
    std::array<double, 3> p{};
    bool occluded = true;
    if (q.GetGlobalMarkerTranslation(c.Subject, c.Segment, p, occluded) && !occluded) {
      for (double value : p) table.Number(value);
    } else {
      table.Empty(3);
    }
  }
  for (const VPlateColumns& plate : columns.Plates) {
    std::array<double, 3> v{};
    WritePlateVector(table, q.GetForceVector(plate.DeviceID, v), v);
    WritePlateVector(table, q.GetMomentVector(plate.DeviceID, v), v);
    WritePlateVector(table, q.GetCentreOfPressure(plate.DeviceID, v), v);
    for (int32_t ch = 1; ch <= plate.Channels; ++ch) {
      double volts = 0;
      if (q.GetAnalogChannelVoltage(plate.DeviceID, static_cast<uint32_t>(ch), volts)) {
        table.Number(static_cast<float>(volts));
      } else {
        table.Empty(1);
      }
    }
  }
  table.EndRow();
}

// 0: run; 1: help shown; 2: bad command line (message printed).
int ParseOptions(int argc, char** argv, VOptions& options) {
  QSTools::VCommandLine line("qs-export", argc, argv);
  while (line.Next()) {
    const char* value = nullptr;
    if (line.Flag({"--help", "-h"})) {
      std::fputs(Usage, stdout);
      return 1;
    } else if (line.Flag({"--left-handed"})) {
      options.LeftHanded = true;
    } else if (line.Flag({"--y-up"})) {
      options.YUp = true;
    } else if ((value = line.Value({"--format"})) && (std::strcmp(value, "csv") == 0 || std::strcmp(value, "tsv") == 0)) {
      options.Delimiter = value[0] == 't' ? '\t' : ',';
    } else if ((value = line.Value({"-o", "--output"})) && *value != '\0') {
      options.Output = value;
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
  VOptions options;
  const int parsed = ParseOptions(argc, argv, options);
  if (parsed != 0) return parsed == 1 ? 0 : 2;

  // The table is written beside the output file and takes its place when
  // complete; the recording itself is never written over.
  QSTools::VOutputFile output;
  std::FILE* out = stdout;
  if (!options.Output.empty()) {
    QSTools::RemoveOutputsOnStopSignals();
    if (!output.Create(options.Output, {options.Input}) || (out = output.Stream()) == nullptr) {
      std::fprintf(stderr, "qs-export: %s\n", output.Error().c_str());
      return 1;
    }
  } else if (!QSTools::InputBehindStandardOutput({options.Input}).empty()) {
    std::fprintf(stderr, "qs-export: standard output is the recording %s itself\n", options.Input.c_str());
    return 1;
  }

  // First pass: the columns, from every scene description in the file.
  VColumns columns;
  uint64_t frames = 0;
  VFrameWalk scan;
  const bool scanned = scan.Run(options.Input, [&](int64_t, bool newScene) {
    if (newScene || frames == 0) columns.Collect(scan.Queries());
    ++frames;
  });
  if (!scanned) {
    std::fprintf(stderr, "qs-export: %s: %s\n", options.Input.c_str(), scan.Error().c_str());
    return 1;
  }
  static char buffer[1 << 16];
  std::setvbuf(out, buffer, _IOFBF, sizeof buffer);

  // Second pass: the rows.
  VTable table(out, options.Delimiter);
  WriteHeader(table, columns);
  VFrameWalk walk;
  VFrameQueries& queries = walk.Queries();
  if (options.LeftHanded) queries.SetLeftHandRule();
  if (options.YUp) queries.SetYUp();
  const bool written = walk.Run(options.Input, [&](int64_t receiveNs, bool) { WriteRow(table, queries, columns, receiveNs); });
  if (!written) {
    std::fprintf(stderr, "qs-export: %s: %s\n", options.Input.c_str(), walk.Error().c_str());
    return 1;
  }
  if (options.Output.empty() && (std::fflush(out) != 0 || std::ferror(out))) {
    std::fprintf(stderr, "qs-export: cannot write the table\n");
    return 1;
  }
  if (!options.Output.empty() && !output.Commit()) {
    std::fprintf(stderr, "qs-export: %s\n", output.Error().c_str());
    return 1;
  }
  if (!scan.CutShort().empty()) {
    std::fprintf(stderr, "qs-export: %s: %s; exported the %llu frames before it\n", options.Input.c_str(),
                 scan.CutShort().c_str(), static_cast<unsigned long long>(frames));
  }
  return 0;
}
