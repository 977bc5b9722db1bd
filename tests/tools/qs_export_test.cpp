// qs-export as a program, over a recording of the demo scene written the
// way qs-record writes what qs-sim sends: its cells against the scene's own
// values, the axis options, and a recording cut inside its last record.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "c3d_reader.h"
#include "tools/recording/recording.h"
#include "tools/sim/scene.h"

namespace {

using LumoraQSServe::VBytes;
using LumoraQSSim::VDemoScene;
using LumoraQSSim::VSceneFrame;

// One table as read back: its metadata line, column names and rows.
struct VSheet {
  std::string Meta;
  std::vector<std::string> Header;
  std::vector<std::vector<std::string>> Rows;

  std::size_t Column(const std::string& name) const {
    for (std::size_t i = 0; i < Header.size(); ++i)
      if (Header[i] == name) return i;
    ADD_FAILURE() << "no column " << name;
    return 0;
  }
  double Number(std::size_t row, const std::string& name) const { return std::strtod(Rows.at(row).at(Column(name)).c_str(), nullptr); }
  // Force plate cells are 32-bit samples, written as such.
  float Sample(std::size_t row, const std::string& name) const { return std::strtof(Rows.at(row).at(Column(name)).c_str(), nullptr); }
  // The rate the metadata line gives.
  double Rate() const { return std::strtod(Meta.c_str() + Meta.find("rate ") + 5, nullptr); }
};

// The frame table, and the full-rate table written beside it.
struct VTable : VSheet {
  int Status = -1;
  std::string Errors;
  VSheet Samples;
};

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> cells;
  std::stringstream stream(line);
  std::string cell;
  while (std::getline(stream, cell, ',')) cells.push_back(cell);
  if (!line.empty() && line.back() == ',') cells.emplace_back();
  return cells;
}

// Reads and removes the table at `path`.
void ReadSheet(const std::string& path, VSheet& sheet) {
  std::ifstream csv(path);
  std::string line;
  if (std::getline(csv, line)) sheet.Meta = line;
  if (std::getline(csv, line)) sheet.Header = Split(line);
  while (std::getline(csv, line)) sheet.Rows.push_back(Split(line));
  std::remove(path.c_str());
}

VTable Export(const std::string& recording, const std::string& options = "") {
  const std::string base = testing::TempDir() + "qs_export_" + std::to_string(getpid());
  const std::string command =
      std::string(QS_EXPORT_BINARY) + " " + recording + " " + options + " -o " + base + ".csv 2>" + base + ".err";
  VTable table;
  const int status = std::system(command.c_str());
  table.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream errors(base + ".err");
  table.Errors.assign(std::istreambuf_iterator<char>(errors), std::istreambuf_iterator<char>());
  ReadSheet(base + ".csv", table);
  ReadSheet(base + ".analog.csv", table.Samples);
  std::remove((base + ".err").c_str());
  return table;
}

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// "walk.analog.csv" beside "walk.csv".
std::string FullRatePath(const std::string& table) {
  const std::size_t dot = table.rfind('.');
  return table.substr(0, dot) + ".analog" + table.substr(dot);
}

// The handshake and `packets`, 10 ms apart.
std::string WritePackets(const std::vector<VBytes>& packets) {
  const std::string path = testing::TempDir() + "qs_demo_" + std::to_string(getpid()) + ".qsrec";
  QSRecording::VHeader header;
  header.Host = "127.0.0.1";
  header.RequestedTypes = VDemoScene::OfferedTypes();
  QSRecording::VWriter writer;
  EXPECT_TRUE(writer.Create(path, header)) << writer.Error();
  const VBytes handshake = LumoraQSServe::EncodePacket({LumoraQSServe::EncodeObjectTypeList(VDemoScene::OfferedTypes())});
  EXPECT_TRUE(writer.Append(0, handshake.data(), handshake.size()));
  for (std::size_t i = 0; i < packets.size(); ++i) {
    EXPECT_TRUE(writer.Append(static_cast<int64_t>(i + 1) * 10000000LL, packets[i].data(), packets[i].size()));
  }
  EXPECT_TRUE(writer.Close());
  return path;
}

// Frames first .. first + count - 1 (every offered type, the scene
// description with the first).
std::string WriteRecording(const VDemoScene& scene, int32_t first, int count) {
  std::vector<VBytes> packets;
  for (int i = 0; i < count; ++i) packets.push_back(scene.FramePacket(first + i, VDemoScene::OfferedTypes(), i == 0));
  return WritePackets(packets);
}

bool Occluded(const VSceneFrame& frame, int32_t subject, int32_t marker) {
  for (const auto& position : frame.Markers)
    if (position.SubjectID == subject && position.MarkerID == marker) return false;
  return true;
}

// A frame in which plate 1 carries a foot and some marker is hidden.
int32_t TellingFrame(const VDemoScene& scene) {
  const std::size_t n = static_cast<std::size_t>(scene.SamplesPerFrame());
  for (int32_t number = 0; number < 1200; ++number) {
    const VSceneFrame frame = scene.Frame(number);
    if (frame.Forces[0].Samples[2 * n] > 300.0f && frame.Markers.size() < scene.Attachments().size()) return number;
  }
  ADD_FAILURE() << "the demo scene has no frame with a loaded plate and a hidden marker";
  return 0;
}

TEST(QsExport, CellsHoldTheDemoScenesValues) {
  const VDemoScene scene;
  const int32_t number = TellingFrame(scene);
  const std::string path = WriteRecording(scene, number, 3);
  const VSceneFrame frame = scene.Frame(number);
  const std::size_t n = static_cast<std::size_t>(scene.SamplesPerFrame());

  const VTable table = Export(path);
  ASSERT_EQ(table.Status, 0) << table.Errors;
  ASSERT_EQ(table.Rows.size(), 3u);
  // frame, time, capture time; 16 segments x 7; 46 markers x 3; 2 plates x (9 + 8 channels).
  EXPECT_EQ(table.Header.size(), 3u + 16 * 7 + 46 * 3 + 2 * 17);
  EXPECT_EQ(table.Rows[0][0], std::to_string(number));
  EXPECT_EQ(table.Rows[0][1], "0.010000000");
  for (const auto& row : table.Rows) EXPECT_EQ(row.size(), table.Header.size());
  // The rate, estimated from receive times 10 ms apart, and the units.
  EXPECT_NEAR(table.Rate(), 100.0, 1e-9);
  EXPECT_NE(table.Errors.find("100.00 Hz estimated from 3 frames"), std::string::npos) << table.Errors;
  EXPECT_EQ(table.Meta.substr(0, 18), "# qs-export; rate ");
  EXPECT_NE(table.Meta.find(" Hz estimated; axes z-up right-handed; time s; length mm; force N; moment N.m; voltage V"),
            std::string::npos) << table.Meta;
  for (std::size_t row = 0; row < 3; ++row) {
    EXPECT_EQ(table.Number(row, "capture_time [s]"), static_cast<double>(row) / table.Rate());
  }

  const auto& pelvis = frame.SegmentPoses[0].Poses[0];
  EXPECT_EQ(table.Number(0, "Walker/Pelvis/tx [mm]"), pelvis.Translation[0]);
  EXPECT_EQ(table.Number(0, "Walker/Pelvis/tz [mm]"), pelvis.Translation[2]);
  EXPECT_EQ(table.Number(0, "Wand/Wand/ty [mm]"), frame.SegmentPoses[1].Poses[0].Translation[1]);
  // The quaternion gives back the pose's rotation matrix.
  const double qx = table.Number(0, "Walker/Pelvis/qx"), qy = table.Number(0, "Walker/Pelvis/qy");
  const double qz = table.Number(0, "Walker/Pelvis/qz"), qw = table.Number(0, "Walker/Pelvis/qw");
  EXPECT_NEAR(1 - 2 * (qy * qy + qz * qz), pelvis.Rotation[0], 1e-12);
  EXPECT_NEAR(2 * (qx * qy + qz * qw), pelvis.Rotation[3], 1e-12);

  // Force plate cells are the first sample of each component.
  EXPECT_EQ(table.Sample(0, "Plate1/Fz [N]"), frame.Forces[0].Samples[2 * n]);
  EXPECT_EQ(table.Sample(0, "Plate1/My [N.m]"), frame.Moments[0].Samples[n]);
  EXPECT_EQ(table.Sample(0, "Plate1/Cx [mm]"), frame.CentresOfPressure[0].Samples[0]);
  EXPECT_EQ(table.Sample(0, "Plate1/Ch5 [V]"), frame.Voltages[0].Samples[4 * n]);
  EXPECT_EQ(table.Sample(0, "Plate2/Cx [mm]"), static_cast<float>(scene.Plates()[1].Origin[0]));  // unloaded

  // Hidden markers leave their cells empty; the others hold their position.
  const auto& subjects = scene.Description().Subjects;
  std::size_t hidden = 0;
  for (const auto& marker : scene.Attachments()) {
    const std::string& subject = subjects[static_cast<std::size_t>(marker.SubjectID - 1)].Name;
    const std::string& name = subjects[static_cast<std::size_t>(marker.SubjectID - 1)].Markers[static_cast<std::size_t>(marker.MarkerID - 1)].Name;
    const std::string& cell = table.Rows[0][table.Column(subject + "/" + name + "/x [mm]")];
    EXPECT_EQ(cell.empty(), Occluded(frame, marker.SubjectID, marker.MarkerID)) << name;
    hidden += cell.empty() ? 1 : 0;
  }
  EXPECT_GT(hidden, 0u);

  // Y-up and left-handed, as the library's queries give them.
  const VTable yUp = Export(path, "--y-up --left-handed");
  ASSERT_EQ(yUp.Status, 0) << yUp.Errors;
  EXPECT_EQ(yUp.Number(0, "Walker/Pelvis/tx [mm]"), -pelvis.Translation[0]);
  EXPECT_EQ(yUp.Number(0, "Walker/Pelvis/ty [mm]"), pelvis.Translation[2]);
  EXPECT_EQ(yUp.Number(0, "Walker/Pelvis/tz [mm]"), -pelvis.Translation[1]);
  EXPECT_EQ(yUp.Sample(0, "Plate1/Fy [N]"), frame.Forces[0].Samples[2 * n]);
  EXPECT_NE(yUp.Meta.find("; axes y-up left-handed;"), std::string::npos) << yUp.Meta;
  // Rotations are converted with translations: each visible marker of the
  // walker is its segment's exported pose applied to its offset on the
  // segment, converted (Y-up: (x, y, z) -> (x, z, -y), left-handed: x
  // negated), up to rounding.
  std::size_t checked = 0;
  for (const auto& marker : scene.Attachments()) {
    if (marker.SubjectID != 1 || Occluded(frame, marker.SubjectID, marker.MarkerID)) continue;
    const std::string segment = "Walker/" + subjects[0].Segments[static_cast<std::size_t>(marker.SegmentID - 1)].Name + "/";
    const std::string name = "Walker/" + subjects[0].Markers[static_cast<std::size_t>(marker.MarkerID - 1)].Name + "/";
    const std::array<double, 3> v = {-marker.Local[0], marker.Local[2], -marker.Local[1]};
    const std::array<double, 3> u = {yUp.Number(0, segment + "qx"), yUp.Number(0, segment + "qy"), yUp.Number(0, segment + "qz")};
    const double w = yUp.Number(0, segment + "qw");
    // v + 2w (u x v) + 2 u x (u x v)
    const std::array<double, 3> c = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    const std::array<double, 3> cc = {u[1] * c[2] - u[2] * c[1], u[2] * c[0] - u[0] * c[2], u[0] * c[1] - u[1] * c[0]};
    for (std::size_t i = 0; i < 3; ++i) {
      const std::string axis(1, "xyz"[i]);
      EXPECT_NEAR(yUp.Number(0, segment + "t" + axis + " [mm]") + v[i] + 2 * w * c[i] + 2 * cc[i],
                  yUp.Number(0, name + axis + " [mm]"), 1e-6) << name << axis;
    }
    ++checked;
  }
  EXPECT_GT(checked, 10u);
  std::remove(path.c_str());
}

// Reads `list`'s sample i of `component` (of `components`) of plate p.
float Recorded(const std::vector<LumoraQSStream::VDeviceOutputData>& list, std::size_t p, std::size_t component,
               std::size_t i, std::size_t n) {
  return list[p].Samples[component * n + i];
}

TEST(QsExport, FullRateTableHoldsEverySample) {
  const VDemoScene scene;
  const int32_t number = TellingFrame(scene);
  const std::string path = WriteRecording(scene, number, 3);
  const std::size_t n = static_cast<std::size_t>(scene.SamplesPerFrame());
  const VTable table = Export(path, "--units length=m,moment=N.mm");
  ASSERT_EQ(table.Status, 0) << table.Errors;
  const VSheet& samples = table.Samples;
  EXPECT_EQ(samples.Meta, table.Meta + "; samples per frame 10");
  EXPECT_NE(samples.Meta.find("; length m; force N; moment N.mm; voltage V"), std::string::npos) << samples.Meta;
  EXPECT_EQ(table.Header[3], "Walker/Pelvis/tx [m]");
  // frame, sample, capture time; 2 plates x (9 + 8 channels); a row per sample.
  ASSERT_EQ(samples.Header.size(), 3u + 2 * 17);
  ASSERT_EQ(samples.Rows.size(), 3 * n);
  const char* const vectors[3] = {"F", "M", "C"};
  const char* const units[3] = {" [N]", " [N.mm]", " [m]"};
  for (std::size_t row = 0; row < samples.Rows.size(); ++row) {
    const std::size_t k = row / n, i = row % n;
    const VSceneFrame frame = scene.Frame(number + static_cast<int32_t>(k));
    EXPECT_EQ(samples.Rows[row][0], std::to_string(number + static_cast<int32_t>(k)));
    EXPECT_EQ(samples.Rows[row][1], std::to_string(i));
    EXPECT_EQ(samples.Number(row, "capture_time [s]"), static_cast<double>(k) / table.Rate() + i * (1.0 / (table.Rate() * n)));
    for (std::size_t p = 0; p < 2; ++p) {
      const std::string plate = "Plate" + std::to_string(p + 1) + "/";
      const std::vector<LumoraQSStream::VDeviceOutputData>* lists[3] = {&frame.Forces, &frame.Moments, &frame.CentresOfPressure};
      for (std::size_t kind = 0; kind < 3; ++kind) {
        for (std::size_t axis = 0; axis < 3; ++axis) {
          const std::string column = plate + vectors[kind] + std::string(1, "xyz"[axis]) + units[kind];
          EXPECT_EQ(samples.Sample(row, column), Recorded(*lists[kind], p, axis, i, n)) << column << " row " << row;
        }
      }
      for (std::size_t ch = 0; ch < 8; ++ch) {
        const std::string column = plate + "Ch" + std::to_string(ch + 1) + " [V]";
        EXPECT_EQ(samples.Sample(row, column), Recorded(frame.Voltages, p, ch, i, n)) << column << " row " << row;
      }
    }
  }
  std::remove(path.c_str());
}

TEST(QsExport, MixedSamplesPerFrameAndEmptyRecordings) {
  // Two frames of 10 samples per component, then two of 5: the full-rate
  // table runs at 10, the frames of 5 leave their plate cells empty.
  const VDemoScene ten, five(100.0, 5);
  const std::string path = WritePackets({ten.FramePacket(1, VDemoScene::OfferedTypes(), true),
                                         ten.FramePacket(2, VDemoScene::OfferedTypes(), false),
                                         five.FramePacket(3, VDemoScene::OfferedTypes(), false),
                                         five.FramePacket(4, VDemoScene::OfferedTypes(), false)});
  const VTable table = Export(path);
  ASSERT_EQ(table.Status, 0) << table.Errors;
  ASSERT_EQ(table.Samples.Rows.size(), 40u);
  EXPECT_EQ(table.Samples.Sample(19, "Plate1/Ch8 [V]"), ten.Frame(2).Voltages[0].Samples[7 * 10 + 9]);
  EXPECT_EQ(table.Samples.Rows[20][table.Samples.Column("Plate1/Fz [N]")], "");
  EXPECT_EQ(table.Samples.Rows[39].size(), 3u + 2 * 17);
  EXPECT_NE(table.Errors.find("in 2 frames some force plate output held other than 10 samples"), std::string::npos)
      << table.Errors;

  // No frame at all: refused, no table left.
  const std::string empty = WritePackets({});
  const std::string output = testing::TempDir() + "qs_empty_" + std::to_string(getpid()) + ".csv";
  const int status = std::system((std::string(QS_EXPORT_BINARY) + " " + empty + " -o " + output + " 2>" + output + ".err").c_str());
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(Contents(output + ".err").find("the recording holds no frame"), std::string::npos);
  EXPECT_NE(access(output.c_str(), F_OK), 0);
  EXPECT_NE(access(FullRatePath(output).c_str(), F_OK), 0);
  for (const std::string& name : {path, empty, output + ".err"}) std::remove(name.c_str());
}

TEST(QsExport, RecordingCutInsideItsLastRecordIsExportedUpToIt) {
  const VDemoScene scene;
  const std::string path = WriteRecording(scene, 100, 4);
  QSRecording::VFile file;
  ASSERT_TRUE(file.Open(path)) << file.Error();
  QSRecording::VRecordEntry entry, last;
  while (file.Reader().Next(entry, nullptr) == QSRecording::ENext::Record) last = entry;
  ASSERT_EQ(last.Number, 4u);
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  // Cut inside the last packet, then inside the last record's header.
  for (const std::size_t cut : {std::size_t{5}, static_cast<std::size_t>(bytes.size() - last.RecordOffset - 6)}) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes.substr(0, bytes.size() - cut);
    const VTable table = Export(path);
    EXPECT_EQ(table.Status, 0) << table.Errors;
    ASSERT_EQ(table.Rows.size(), 3u);
    EXPECT_EQ(table.Rows.back()[0], "102");
    EXPECT_NE(table.Errors.find("cut short inside record 4"), std::string::npos) << table.Errors;
  }
  std::remove(path.c_str());
}

TEST(QsExport, NeverWritesOverItsRecording) {
  const std::string path = WriteRecording(VDemoScene(), 100, 2);
  const std::string bytes = Contents(path);
  const std::string symbolic = path + ".link.csv", hard = path + ".hard.csv";
  ASSERT_EQ(symlink(path.c_str(), symbolic.c_str()), 0);
  ASSERT_EQ(link(path.c_str(), hard.c_str()), 0);
  for (const std::string& output : {path, symbolic, hard}) {
    const int status = std::system((std::string(QS_EXPORT_BINARY) + " " + path + " -o " + output + " 2>/dev/null").c_str());
    EXPECT_EQ(WEXITSTATUS(status), 1) << output;
    EXPECT_TRUE(Contents(path) == bytes) << output;
  }
  const int appended = std::system((std::string(QS_EXPORT_BINARY) + " " + path + " >>" + path + " 2>/dev/null").c_str());
  EXPECT_EQ(WEXITSTATUS(appended), 1);
  EXPECT_TRUE(Contents(path) == bytes);
  // Nor its full-rate table; and a full-rate table that cannot be written
  // leaves no frame table either.
  const std::string table = path + ".out.csv";
  for (const std::string& analog : {path, testing::TempDir() + "no-such-folder/x.csv"}) {
    const int status = std::system((std::string(QS_EXPORT_BINARY) + " " + path + " -o " + table + " --analog " + analog + " 2>/dev/null").c_str());
    EXPECT_EQ(WEXITSTATUS(status), 1) << analog;
    EXPECT_TRUE(Contents(path) == bytes) << analog;
    EXPECT_NE(access(table.c_str(), F_OK), 0) << analog;
  }
  for (const std::string& name : {path, symbolic, hard}) std::remove(name.c_str());
}

TEST(QsExport, ColumnNamesAreUniqueAndNeverFormulas) {
  std::vector<VBytes> objects;
  int32_t id = 0;
  for (const auto& [subject, segment] : std::vector<std::pair<std::string, std::string>>{
           {"A/B", "C"}, {"A", "B/C"}, {"T\tab", "S"}, {"T ab", "S"}, {"=1+1", "S"}, {"@a,\"b\"", "S"}}) {
    LumoraQSStream::VSubjectInfo info;
    info.SubjectID = ++id;
    info.Name = subject;
    info.Segments.push_back({});
    info.Segments.back().SegmentID = 1;
    info.Segments.back().Name = segment;
    objects.push_back(LumoraQSServe::EncodeSubjectInfo(info));
  }
  objects.push_back(LumoraQSServe::EncodeFrameNumber(1));
  const std::string path = WritePackets({LumoraQSServe::EncodePacket(objects)});
  const std::string table = testing::TempDir() + "qs_names_" + std::to_string(getpid());
  // One frame gives no rate: it must be given.
  const VTable noRate = Export(path);
  EXPECT_EQ(noRate.Status, 1);
  EXPECT_NE(noRate.Errors.find("it holds a single frame; give it with --rate HZ"), std::string::npos) << noRate.Errors;
  for (const char* format : {"csv", "tsv"}) {
    ASSERT_EQ(std::system((std::string(QS_EXPORT_BINARY) + " " + path + " --rate 100 --format " + format + " -o " + table).c_str()), 0);
    std::ifstream in(table);
    std::string header;
    std::getline(in, header);
    EXPECT_EQ(header.rfind("# qs-export; rate 100 Hz given; ", 0), 0u) << header;
    std::getline(in, header);
    const char delimiter = format[0] == 't' ? '\t' : ',';
    for (const std::string& cell : {std::string("A\\/B/C/tx [mm]"), std::string("A/B\\/C/tx [mm]"), std::string("T\\tab/S/tx [mm]"),
                                    std::string("T ab/S/tx [mm]"), std::string("'=1+1/S/tx [mm]")}) {
      EXPECT_NE((delimiter + header + delimiter).find(delimiter + cell + delimiter), std::string::npos) << cell << " in " << header;
    }
    const std::string quoted = format[0] == 't' ? "\t\"'@a,\"\"b\"\"/S/tx [mm]\"\t" : ",\"'@a,\"\"b\"\"/S/tx [mm]\",";
    EXPECT_NE(header.find(quoted), std::string::npos) << header;
  }
  std::remove(table.c_str());
  for (const char* format : {".analog.csv", ".analog.tsv"}) std::remove((table + format).c_str());
  std::remove(path.c_str());
}

// Runs qs-export on `recording` with `options`; its exit status, and its
// messages in `errors`.
int RunExport(const std::string& recording, const std::string& options, std::string& errors) {
  const std::string err = testing::TempDir() + "qs_export_" + std::to_string(getpid()) + ".err";
  const int status = std::system((std::string(QS_EXPORT_BINARY) + " " + recording + " " + options + " 2>" + err).c_str());
  errors = Contents(err);
  std::remove(err.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(QsExport, C3DFileHoldsEveryFrameNumberPointAndSample) {
  // Frames 65534 to 65537 with 65536 not received: frame numbers past the
  // header's 16 bits, and a gap.
  const VDemoScene scene;
  const int32_t first = 65534;
  const std::string path = WritePackets({scene.FramePacket(first, VDemoScene::OfferedTypes(), true),
                                         scene.FramePacket(first + 1, VDemoScene::OfferedTypes(), false),
                                         scene.FramePacket(first + 3, VDemoScene::OfferedTypes(), false)});
  const std::string output = testing::TempDir() + "qs_walk_" + std::to_string(getpid()) + ".c3d";
  std::string errors;
  ASSERT_EQ(RunExport(path, "--format c3d --rate 100 -o " + output, errors), 0) << errors;
  EXPECT_NE(errors.find("1 frames were not received"), std::string::npos) << errors;
  QSTestC3D::VFile c3d;
  std::string error;
  ASSERT_TRUE(QSTestC3D::Read(output, c3d, error)) << error;
  EXPECT_EQ(c3d.ProcessorType, 84);
  EXPECT_LT(c3d.Scale, 0.0f);
  EXPECT_EQ(c3d.FrameRate, 100.0f);
  EXPECT_EQ(c3d.FirstFrame, first);
  ASSERT_EQ(c3d.Frames, 4u);
  EXPECT_EQ(c3d.Find("POINT:UNITS")->Strings(), std::vector<std::string>{"mm"});
  EXPECT_EQ(c3d.Find("FORCE_PLATFORM:USED")->Int(0), 0);

  // Every marker of the scene is a point "Subject:Marker", invalid where it
  // is occluded and in the frame not received.
  const auto& subjects = scene.Description().Subjects;
  const std::size_t points = static_cast<std::size_t>(c3d.PointCount);
  ASSERT_EQ(points, scene.Attachments().size());
  for (std::size_t k = 0; k < 4; ++k) {
    const VSceneFrame frame = scene.Frame(first + static_cast<int32_t>(k));
    for (const auto& marker : scene.Attachments()) {
      const auto& subject = subjects[static_cast<std::size_t>(marker.SubjectID - 1)];
      const std::string label = subject.Name + ":" + subject.Markers[static_cast<std::size_t>(marker.MarkerID - 1)].Name;
      const std::size_t p = static_cast<std::size_t>(
          std::find(c3d.PointLabels.begin(), c3d.PointLabels.end(), label) - c3d.PointLabels.begin());
      ASSERT_LT(p, points) << label;
      const float* point = &c3d.Points[(k * points + p) * 4];
      const bool seen = k != 2 && !Occluded(frame, marker.SubjectID, marker.MarkerID);
      EXPECT_EQ(point[3] >= 0.0f, seen) << label << " frame " << k;
      for (const auto& position : frame.Markers) {
        if (!seen || position.SubjectID != marker.SubjectID || position.MarkerID != marker.MarkerID) continue;
        for (std::size_t axis = 0; axis < 3; ++axis) EXPECT_EQ(point[axis], static_cast<float>(position.Position[axis]));
      }
    }
  }

  // Every sample of every plate channel at the full rate, zero in the gap.
  const std::size_t n = static_cast<std::size_t>(scene.SamplesPerFrame());
  const std::size_t channels = static_cast<std::size_t>(c3d.AnalogChannels);
  ASSERT_EQ(channels, 2u * 17);
  EXPECT_EQ(c3d.AnalogRate, 1000.0f);
  EXPECT_EQ(c3d.AnalogLabels[2], "Plate1:Fz");
  EXPECT_EQ(c3d.AnalogLabels[17 + 9], "Plate2:Ch1");
  EXPECT_EQ(c3d.AnalogUnits[3], "N.m");
  EXPECT_EQ(c3d.AnalogUnits[8], "mm");
  EXPECT_EQ(c3d.AnalogUnits[9], "V");
  for (std::size_t k = 0; k < 4; ++k) {
    const VSceneFrame frame = scene.Frame(first + static_cast<int32_t>(k));
    const std::vector<LumoraQSStream::VDeviceOutputData>* lists[4] = {&frame.Forces, &frame.Moments,
                                                                      &frame.CentresOfPressure, &frame.Voltages};
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t c = 0; c < channels; ++c) {
        const std::size_t plate = c / 17, within = c % 17, list = within < 9 ? within / 3 : 3;
        const float expected = k == 2 ? 0.0f : Recorded(*lists[list], plate, within < 9 ? within % 3 : within - 9, i, n);
        ASSERT_EQ(c3d.Analog[(k * n + i) * channels + c], expected) << c3d.AnalogLabels[c] << " frame " << k << " sample " << i;
      }
    }
  }
  std::remove(output.c_str());

  // Refused with the reason and no file: a frame range past what C3D holds,
  // and a C3D file to standard output.
  const std::string apart = WritePackets({scene.FramePacket(1, VDemoScene::OfferedTypes(), true),
                                          scene.FramePacket(30000000, VDemoScene::OfferedTypes(), false)});
  EXPECT_EQ(RunExport(apart, "--format c3d --rate 100 -o " + output, errors), 1);
  EXPECT_NE(errors.find("cannot be written as C3D"), std::string::npos) << errors;
  EXPECT_NE(access(output.c_str(), F_OK), 0);
  EXPECT_EQ(RunExport(path, "--format c3d", errors), 1);
  EXPECT_NE(errors.find("name it with -o FILE"), std::string::npos) << errors;
  for (const std::string& name : {path, apart}) std::remove(name.c_str());
}

}  // namespace
