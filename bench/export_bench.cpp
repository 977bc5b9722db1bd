// Export of a 10-minute demo recording: 60,000 frames of the simulator's
// demo scene at 100 Hz (10 samples per force plate component), written
// in-process with the recording writer and receive times 10 ms apart plus
// up to 2 ms of jitter, then exported through the export library (both
// tables, as qs-export -o walk.csv writes them). Prints the seconds of each
// run and the megabytes of recording read per second (the export reads the
// file twice: the scan and the rows; MB/s is the file's size over the time).
//
//   build/bench/qs_export_bench [--frames N] [--repeats N] [--keep DIR]
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tools/export/export.h"
#include "tools/recording/recording.h"
#include "tools/sim/scene.h"

namespace {

using LumoraQSSim::VDemoScene;

constexpr int DefaultFrames = 60000;  // 10 minutes at 100 Hz
constexpr int DefaultRepeats = 3;
constexpr int64_t FrameNs = 10000000;
constexpr int64_t MaxJitterNs = 2000000;

bool WriteRecording(const std::string& path, int frames) {
  const VDemoScene scene;
  QSRecording::VHeader header;
  header.Host = "127.0.0.1";
  header.RequestedTypes = VDemoScene::OfferedTypes();
  QSRecording::VWriter writer;
  if (!writer.Create(path, header)) {
    std::fprintf(stderr, "qs_export_bench: %s\n", writer.Error().c_str());
    return false;
  }
  const LumoraQSServe::VBytes handshake =
      LumoraQSServe::EncodePacket({LumoraQSServe::EncodeObjectTypeList(VDemoScene::OfferedTypes())});
  bool ok = writer.Append(0, handshake.data(), handshake.size());
  uint32_t state = 1;
  int64_t last = 0;
  for (int i = 0; i < frames && ok; ++i) {
    state = state * 1664525u + 1013904223u;
    // Receive times only go forward in a recording.
    last = std::max(last, (i + 1) * FrameNs + static_cast<int64_t>(state >> 8) % MaxJitterNs);
    const LumoraQSServe::VBytes packet = scene.FramePacket(i, VDemoScene::OfferedTypes(), i == 0);
    ok = writer.Append(last, packet.data(), packet.size());
  }
  if (!ok || !writer.Close()) {
    std::fprintf(stderr, "qs_export_bench: %s\n", writer.Error().c_str());
    return false;
  }
  return true;
}

uint64_t FileBytes(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

// One kind of export: its name and how it runs on the recording, writing
// beside `base` (a path without extension).
struct VCase {
  const char* Name;
  std::function<bool(const std::string& recording, const std::string& base)> Run;
};

bool ExportTables(const std::string& recording, const std::string& base, char delimiter) {
  QSExport::VExportOptions options;
  options.Input = recording;
  options.Output = base + (delimiter == ',' ? ".csv" : ".tsv");
  options.Settings.Delimiter = delimiter;
  return QSExport::Export(options, stderr).Status == 0;
}

bool ExportC3D(const std::string& recording, const std::string& base) {
  QSExport::VExportOptions options;
  options.Input = recording;
  options.Output = base + ".c3d";
  options.C3D = true;
  return QSExport::Export(options, stderr).Status == 0;
}

}  // namespace

int main(int argc, char** argv) {
  int frames = DefaultFrames;
  int repeats = DefaultRepeats;
  std::string keep;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
      frames = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--repeats") == 0 && i + 1 < argc) {
      repeats = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--keep") == 0 && i + 1 < argc) {
      keep = argv[++i];
    } else {
      std::fprintf(stderr, "usage: qs_export_bench [--frames N] [--repeats N] [--keep DIR]\n");
      return 2;
    }
  }
  if (frames < 2 || repeats < 1) return 2;

  char folderTemplate[] = "/tmp/qs_export_bench.XXXXXX";
  const std::string folder = keep.empty() ? std::string(mkdtemp(folderTemplate) ? folderTemplate : "") : keep;
  if (folder.empty()) {
    std::perror("qs_export_bench: mkdtemp");
    return 1;
  }
  const std::string recording = folder + "/walk.qsrec";
  const auto written = std::chrono::steady_clock::now();
  if (!WriteRecording(recording, frames)) return 1;
  const double megabytes = static_cast<double>(FileBytes(recording)) / 1e6;
  std::printf("recording: %d frames, %.1f MB, written in %.2f s\n", frames, megabytes,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - written).count());
  std::fflush(stdout);

  const std::vector<VCase> cases = {
      {"csv (frame table + full-rate table)", [](const std::string& r, const std::string& b) { return ExportTables(r, b, ','); }},
      {"c3d", [](const std::string& r, const std::string& b) { return ExportC3D(r, b); }},
  };
  int status = 0;
  for (const VCase& c : cases) {
    for (int repeat = 0; repeat < repeats; ++repeat) {
      const std::string base = folder + "/walk";
      const auto start = std::chrono::steady_clock::now();
      const bool ok = c.Run(recording, base);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (!ok) status = 1;
      std::printf("%-40s %7.2f s  %7.1f MB/s of recording%s\n", c.Name, seconds, megabytes / seconds, ok ? "" : "  FAILED");
      std::fflush(stdout);
    }
  }
  if (keep.empty()) {
    for (const char* name : {"/walk.qsrec", "/walk.csv", "/walk.analog.csv", "/walk.c3d"}) std::remove((folder + name).c_str());
    rmdir(folder.c_str());
  }
  return status;
}
