// qs-stream: a live terminal viewer for a capture server. It uses the
// library exactly as any host would, through the exported C functions of
// QS.h and nothing else.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "QS.h"
#include "tools/command_line.h"
#include "tools/host/host_connection.h"
#include "tools/qs-stream/options.h"

namespace {

using Clock = std::chrono::steady_clock;
using QSTools::Format;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// One plate of the current frame: its device id and force vector (in the
// chosen axes), or no force when the frame carries none.
struct PlateReading {
  int32_t DeviceID = 0;
  bool HasForce = false;
  double Force[3] = {0, 0, 0};
};

// What the viewer reads from one frame.
struct FrameReading {
  int32_t FrameNumber = 0;
  std::vector<std::string> Subjects;
  std::string Subject;  // the subject whose segment is shown ("" if none)
  std::string Segment;
  bool SegmentFound = false;
  bool SegmentOccluded = false;
  double Position[3] = {0, 0, 0};
  std::vector<PlateReading> Plates;
};

class Viewer {
 public:
  explicit Viewer(const ViewerOptions& options) : Options(options) {}

  int Run();

 private:
  void Read(FrameReading& reading);
  void WriteCsvHeader(const FrameReading& reading);
  void WriteCsvRow(const FrameReading& reading, double time);
  void Show(const FrameReading& reading, double rate);
  // The live block while the server cannot be reached: each attempt takes
  // at most the library's connect bound, and the line says how it goes.
  void ShowFailedAttempts(int failed);
  void Draw(const std::vector<std::string>& lines);
  bool TimeIsUp() const {
    return Options.Duration > 0 && SecondsSince(Start) >= Options.Duration;
  }
  bool FramesDone() const { return Options.Frames > 0 && Source.FramesSeen() >= Options.Frames; }
  std::string Endpoint() const { return Source.Endpoint(); }
  void Message(const std::string& text);

  const ViewerOptions& Options;
  Clock::time_point Start = Clock::now();
  bool Tty = isatty(STDOUT_FILENO) == 1;
  int ShownLines = 0;
  VHostConnection Source{Options};
  std::FILE* Csv = nullptr;
  bool CsvHeaderWritten = false;
  std::size_t CsvPlates = 0;
};

void Viewer::Message(const std::string& text) {
  // A message goes below the live block, which is then drawn afresh.
  if (Tty && ShownLines > 0) {
    std::fputc('\n', stdout);
    ShownLines = 0;
  }
  std::fprintf(stdout, "%s\n", text.c_str());
  std::fflush(stdout);
}

void Viewer::Read(FrameReading& reading) {
  reading = FrameReading();
  GetFrameNumber(&reading.FrameNumber);

  int32_t subjects = 0;
  GetSubjectCount(&subjects);
  for (int32_t i = 1; i <= subjects; ++i) reading.Subjects.emplace_back(GetSubjectName(i));

  // The chosen subject, else the first one; the chosen segment, else the
  // subject's first segment.
  if (!Options.Subject.empty()) {
    reading.Subject = Options.Subject;
  } else if (!reading.Subjects.empty()) {
    reading.Subject = reading.Subjects.front();
  }
  if (!Options.Segment.empty()) {
    reading.Segment = Options.Segment;
  } else if (!reading.Subject.empty()) {
    reading.Segment = GetSegmentName(reading.Subject.c_str(), 1);
  }
  if (!reading.Subject.empty() && !reading.Segment.empty()) {
    int32_t occluded = 0;
    reading.SegmentFound = GetGlobalSegmentTranslation(reading.Subject.c_str(), reading.Segment.c_str(),
                                                       reading.Position, &occluded) != 0;
    reading.SegmentOccluded = occluded != 0;
  }

  int32_t plates = 0;
  GetForcePlateCount(&plates);
  for (int32_t i = 1; i <= plates; ++i) {
    PlateReading plate;
    if (!GetForcePlateID(i, &plate.DeviceID)) continue;
    plate.HasForce = GetForceVector(plate.DeviceID, plate.Force) != 0;
    reading.Plates.push_back(plate);
  }
}

void Viewer::WriteCsvHeader(const FrameReading& reading) {
  // The columns follow the first frame read: its segment and its plates.
  std::string segment = reading.Subject + "/" + reading.Segment;
  std::fprintf(Csv, "frame,time,%s x,%s y,%s z", segment.c_str(), segment.c_str(), segment.c_str());
  CsvPlates = reading.Plates.size();
  for (const auto& plate : reading.Plates) {
    for (const char* axis : {"Fx", "Fy", "Fz"}) std::fprintf(Csv, ",plate %d %s", plate.DeviceID, axis);
  }
  std::fputc('\n', Csv);
  CsvHeaderWritten = true;
}

void Viewer::WriteCsvRow(const FrameReading& reading, double time) {
  if (!CsvHeaderWritten) WriteCsvHeader(reading);
  std::fprintf(Csv, "%d,%.6f", reading.FrameNumber, time);
  // An occluded or missing segment leaves its cells empty.
  if (reading.SegmentFound && !reading.SegmentOccluded) {
    std::fprintf(Csv, ",%.6f,%.6f,%.6f", reading.Position[0], reading.Position[1], reading.Position[2]);
  } else {
    std::fputs(",,,", Csv);
  }
  for (std::size_t i = 0; i < CsvPlates; ++i) {
    if (i < reading.Plates.size() && reading.Plates[i].HasForce) {
      const double* f = reading.Plates[i].Force;
      std::fprintf(Csv, ",%.6f,%.6f,%.6f", f[0], f[1], f[2]);
    } else {
      std::fputs(",,,", Csv);
    }
  }
  std::fputc('\n', Csv);
}

void Viewer::Show(const FrameReading& reading, double rate) {
  const int vertical = Options.YUp ? 1 : 2;  // the up axis of the chosen convention
  std::vector<std::string> lines;
  lines.push_back(Format("frame %d  %.1f fps  frames %llu  missed %llu", reading.FrameNumber, rate,
                         static_cast<unsigned long long>(Source.FramesSeen()),
                         static_cast<unsigned long long>(Source.FramesMissed())));
  std::string subjects = Format("subjects %zu:", reading.Subjects.size());
  for (const auto& name : reading.Subjects) subjects += " " + name;
  lines.push_back(subjects);
  std::string segment = reading.Subject + "/" + reading.Segment;
  if (reading.Subject.empty()) {
    lines.push_back("segment: no subject");
  } else if (!reading.SegmentFound) {
    lines.push_back(segment + ": not found");
  } else if (reading.SegmentOccluded) {
    lines.push_back(segment + ": occluded");
  } else {
    lines.push_back(Format("%s: %.1f %.1f %.1f", segment.c_str(), reading.Position[0], reading.Position[1],
                           reading.Position[2]));
  }
  std::string plates = Format("plates %zu:", reading.Plates.size());
  for (const auto& plate : reading.Plates) {
    if (plate.HasForce) {
      plates += Format("  #%d %s %.1f N", plate.DeviceID, Options.YUp ? "Fy" : "Fz", plate.Force[vertical]);
    } else {
      plates += Format("  #%d -", plate.DeviceID);
    }
  }
  lines.push_back(plates);

  Draw(lines);
}

void Viewer::ShowFailedAttempts(int failed) {
  Draw({Format("waiting for %s: %d attempt%s failed in %.0f s; retrying", Endpoint().c_str(), failed,
               failed == 1 ? "" : "s", SecondsSince(Start))});
}

void Viewer::Draw(const std::vector<std::string>& lines) {
  if (Tty) {
    // Redraw the block in place: back to its first line, then each line
    // cleared and written anew.
    if (ShownLines > 0) std::fprintf(stdout, "\r\033[%dA", ShownLines);
    for (const auto& line : lines) std::fprintf(stdout, "\r\033[K%s\n", line.c_str());
    ShownLines = static_cast<int>(lines.size());
  } else {
    std::string joined;
    for (const auto& line : lines) joined += (joined.empty() ? "" : " | ") + line;
    std::fprintf(stdout, "%s\n", joined.c_str());
  }
  std::fflush(stdout);
}

int Viewer::Run() {
  if (!Options.CsvPath.empty()) {
    Csv = std::fopen(Options.CsvPath.c_str(), "w");
    if (Csv == nullptr) {
      std::fprintf(stderr, "qs-stream: cannot write %s: %s\n", Options.CsvPath.c_str(), std::strerror(errno));
      return 1;
    }
  }

  int status = 0;
  const double printEvery = Options.PrintEvery > 0 ? Options.PrintEvery : (Tty ? 0.1 : 1.0);
  Clock::time_point lastShown = Clock::now() - std::chrono::hours(1);
  FrameReading reading;
  int failedAttempts = 0;

  while (status == 0 && !StopRequested() && !TimeIsUp() && !FramesDone()) {
    switch (Source.Poll()) {
      case FrameEvent::Idle:
        break;
      case FrameEvent::Connected:
        Message("connected to " + Endpoint());
        break;
      case FrameEvent::ConnectFailed:
        if (!Options.Reconnect) {
          std::fprintf(stderr, "qs-stream: cannot connect to %s\n", Endpoint().c_str());
          status = 1;
        } else {
          ++failedAttempts;
          if (SecondsSince(lastShown) >= printEvery) {
            ShowFailedAttempts(failedAttempts);
            lastShown = Clock::now();
          }
        }
        break;
      case FrameEvent::Lost:
        if (!Options.Reconnect) {
          std::fprintf(stderr, "qs-stream: connection lost (%s)\n", Endpoint().c_str());
          status = 1;
        } else {
          Message("connection lost (" + Endpoint() + "); reconnecting");
        }
        break;
      case FrameEvent::NewFrame: {
        const Clock::time_point now = Clock::now();
        Read(reading);
        if (Csv) WriteCsvRow(reading, SecondsSince(Start));
        if (std::chrono::duration<double>(now - lastShown).count() >= printEvery) {
          Show(reading, Source.Rate());
          lastShown = now;
        }
        break;
      }
    }
  }

  if (Source.FramesSeen() > 0) Show(reading, Source.Rate());
  Source.Close();

  if (Csv) {
    if (std::fclose(Csv) != 0) {
      std::fprintf(stderr, "qs-stream: cannot write %s\n", Options.CsvPath.c_str());
      status = 1;
    }
  }
  if (status == 0 && Options.Reconnect && !Source.EverConnected()) {
    std::fprintf(stderr, "qs-stream: cannot connect to %s\n", Endpoint().c_str());
    status = 1;
  }
  if (status == 0) {
    std::fprintf(stdout, "qs-stream: %llu frames received, %llu missed\n",
                 static_cast<unsigned long long>(Source.FramesSeen()),
                 static_cast<unsigned long long>(Source.FramesMissed()));
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  ViewerOptions options;
  std::string error;
  const int status = CommandLineStatus(ParseViewerOptions(argc, argv, options, error), "qs-stream", error,
                                       PrintViewerUsage);
  if (status >= 0) return status;
  CatchStopSignals();
  Viewer viewer(options);
  return viewer.Run();
}
