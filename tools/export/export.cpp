#include "tools/export/export.h"

#include <memory>
#include <vector>

#include "tools/export/c3d_export.h"
#include "tools/export/frame_table.h"
#include "tools/export/frame_walk.h"
#include "tools/export/sample_table.h"
#include "tools/export/scan.h"
#include "tools/output/output_file.h"

namespace QSExport {

namespace {

// Buffer of each table's stream.
constexpr std::size_t TableBufferBytes = 1 << 20;

// One table's destination: a VOutputFile, or standard output.
class VDestination {
 public:
  [[nodiscard]] bool Open(const std::string& path, const std::vector<std::string>& inputs, std::string& error) {
    if (path.empty()) {
      Out = stdout;
    } else if (!File.Create(path, inputs) || (Out = File.Stream()) == nullptr) {
      error = File.Error();
      return false;
    }
    Buffer.reset(new char[TableBufferBytes]);
    std::setvbuf(Out, Buffer.get(), _IOFBF, TableBufferBytes);
    Named = !path.empty();
    return true;
  }
  std::FILE* Stream() const { return Out; }
  // Everything written out; false when some of it could not be.
  [[nodiscard]] bool Flush() { return std::fflush(Out) == 0 && !std::ferror(Out); }
  [[nodiscard]] bool Commit(std::string& error) {
    if (!Named) return true;
    if (File.Commit()) return true;
    error = File.Error();
    return false;
  }

 private:
  QSTools::VOutputFile File;
  std::FILE* Out = nullptr;
  std::unique_ptr<char[]> Buffer;
  bool Named = false;
};

}  // namespace

std::string FullRatePath(const std::string& output, char delimiter) {
  const std::size_t slash = output.find_last_of('/');
  const std::size_t dot = output.find_last_of('.');
  const bool extension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  if (!extension) return output + (delimiter == '\t' ? ".analog.tsv" : ".analog.csv");
  return output.substr(0, dot) + ".analog" + output.substr(dot);
}

VExportResult Export(const VExportOptions& options, std::FILE* messages) {
  if (options.C3D) return ExportC3D(options, messages);
  VExportResult result;
  result.Status = 1;
  const char* input = options.Input.c_str();
  const std::string fullRatePath =
      !options.FullRate.empty() ? options.FullRate
                                : options.Output.empty() ? "" : FullRatePath(options.Output, options.Settings.Delimiter);
  if (!fullRatePath.empty() && fullRatePath == options.Output) {
    std::fprintf(messages, "qs-export: the two tables cannot both be %s\n", fullRatePath.c_str());
    return result;
  }
  // Both tables are written beside their targets and take their places
  // when both are complete; the recording itself is never written over.
  VDestination frameTable, sampleTable;
  std::string error;
  if (options.Output.empty() && !QSTools::InputBehindStandardOutput({options.Input}).empty()) {
    std::fprintf(messages, "qs-export: standard output is the recording %s itself\n", input);
    return result;
  }
  if (!frameTable.Open(options.Output, {options.Input}, error) ||
      (!fullRatePath.empty() && !sampleTable.Open(fullRatePath, {options.Input, options.Output}, error))) {
    std::fprintf(messages, "qs-export: %s\n", error.c_str());
    return result;
  }

  // First pass: columns, frame numbers, samples per frame, rate.
  VScan scan;
  if (!ScanRecording(options.Input, options.Rate, scan, error)) {
    std::fprintf(messages, "qs-export: %s: %s\n", input, error.c_str());
    return result;
  }
  if (scan.RateEstimated) std::fprintf(messages, "qs-export: %s\n", RateReport(scan).c_str());

  // Second pass: the rows.
  VFrameTable frames(frameTable.Stream(), scan, options.Settings);
  std::unique_ptr<VSampleTable> samples;
  if (!fullRatePath.empty()) samples.reset(new VSampleTable(sampleTable.Stream(), scan, options.Settings));
  frames.Header();
  if (samples) samples->Header();
  VFrameWalk walk;
  VFrameQueries& queries = walk.Queries();
  if (options.Settings.LeftHanded) queries.SetLeftHandRule();
  if (options.Settings.YUp) queries.SetYUp();
  const bool walked = walk.Run(options.Input, [&](int64_t receiveNs, bool) {
    frames.Row(queries, receiveNs);
    if (samples) samples->Rows(queries);
    ++result.Frames;
  });
  if (!walked) {
    std::fprintf(messages, "qs-export: %s: %s\n", input, walk.Error().c_str());
    return result;
  }
  if (!frameTable.Flush() || (samples && !sampleTable.Flush())) {
    std::fprintf(messages, "qs-export: cannot write the tables\n");
    return result;
  }
  if (!frameTable.Commit(error)) {
    std::fprintf(messages, "qs-export: %s\n", error.c_str());
    return result;
  }
  if (samples && !sampleTable.Commit(error)) {
    // Both or neither: the frame table just put in place goes again.
    if (!options.Output.empty()) std::remove(options.Output.c_str());
    std::fprintf(messages, "qs-export: %s\n", error.c_str());
    return result;
  }
  if (samples && samples->OtherCounts() > 0) {
    std::fprintf(messages,
                 "qs-export: in %llu frames some force plate output held other than %d samples: its cells of those "
                 "frames in %s are empty\n",
                 static_cast<unsigned long long>(samples->OtherCounts()), scan.SamplesPerFrame, fullRatePath.c_str());
  }
  if (!samples && !scan.Channels.empty()) {
    std::fprintf(messages,
                 "qs-export: the table holds the first of the %d samples per frame of each force plate channel; "
                 "--analog FILE writes every sample\n",
                 scan.SamplesPerFrame);
  }
  walk.ReportCutShort(messages, options.Input, result.Frames);
  result.Status = 0;
  return result;
}

}  // namespace QSExport
