// The test C3D reader on files put together byte by byte: 3 points (the
// third named by LABELS2), 2 frames, 2 analog channels of 2 samples, in
// integer and in float data; and the files it must refuse.
#include "c3d_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, int v) { b.push_back(uint8_t(v & 0xFF)), b.push_back(uint8_t((v >> 8) & 0xFF)); }
void PutF(Bytes& b, float v) {
  uint32_t u;
  std::memcpy(&u, &v, 4), Put16(b, int(u & 0xFFFF)), Put16(b, int(u >> 16));
}
Bytes Ints(std::vector<int> v) { Bytes b; for (int x : v) Put16(b, x); return b; }
Bytes Floats(std::vector<float> v) { Bytes b; for (float x : v) PutF(b, x); return b; }
Bytes Chars(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct VBuilder {
  Bytes Records;
  std::vector<std::string> Groups;
  std::size_t LastOffset = 0;
  void Record(int id, const std::string& name, const Bytes& body) {
    Records.push_back(uint8_t(name.size())), Records.push_back(uint8_t(int8_t(id)));
    Records.insert(Records.end(), name.begin(), name.end());
    LastOffset = Records.size();
    Put16(Records, int(body.size()) + 3);  // offset word, body, empty description
    Records.insert(Records.end(), body.begin(), body.end());
    Records.push_back(0);
  }
  void Param(const std::string& group, const std::string& name, int type, Bytes dims, const Bytes& data) {
    const auto g = std::size_t(std::find(Groups.begin(), Groups.end(), group) - Groups.begin());
    if (g == Groups.size()) Groups.push_back(group), Record(-int(g + 1), group, {});
    Bytes body{uint8_t(int8_t(type)), uint8_t(dims.size())};
    body.insert(body.end(), dims.begin(), dims.end());
    body.insert(body.end(), data.begin(), data.end());
    Record(int(g + 1), name, body);
  }
};

// A file of 2 frames; `floating` picks float data (negative scale).
Bytes MakeFile(bool floating, int processor = 84, bool extraParameter = false) {
  const float scale = floating ? -0.5F : 0.5F;
  VBuilder p;
  p.Param("POINT", "USED", 2, {}, Ints({3}));
  p.Param("POINT", "SCALE", 4, {}, Floats({scale}));
  p.Param("POINT", "LABELS", -1, {6, 2}, Chars("S:A   S:B   "));
  p.Param("POINT", "LABELS2", -1, {6, 1}, Chars("S:\xC3\xA9  "));
  p.Param("ANALOG", "USED", 2, {}, Ints({2}));
  p.Param("ANALOG", "LABELS", -1, {2, 2}, Chars("FxFy"));
  p.Param("ANALOG", "UNITS", -1, {1, 2}, Chars("NV"));
  p.Param("ANALOG", "SCALE", 4, {2}, Floats({2.0F, 0.5F}));
  p.Param("ANALOG", "OFFSET", 2, {2}, Ints({1, -2}));
  p.Param("ANALOG", "GEN_SCALE", 4, {}, Floats({0.1F}));
  p.Param("ANALOG", "RATE", 4, {}, Floats({200}));
  p.Param("TRIAL", "ACTUAL_START_FIELD", 2, {2}, Ints({5, 1}));  // frame 65541
  p.Param("TRIAL", "ACTUAL_END_FIELD", 2, {2}, Ints({6, 1}));
  if (extraParameter) p.Param("POINT", "TOO_BIG", -1, {255, 255}, {});
  p.Records[p.LastOffset] = p.Records[p.LastOffset + 1] = 0;
  const int paramBlocks = int(p.Records.size() + 4 + 511) / 512;
  // Header: parameters at block 2, 3 points, 2 x 2 analog words, frames 1-2, scale, data start, 2 samples, 100 Hz.
  Bytes file{2, 0x50};
  for (const Bytes& part : {Ints({3, 2 * 2, 1, 2, 0}), Floats({scale}), Ints({2 + paramBlocks, 2}), Floats({100})})
    file.insert(file.end(), part.begin(), part.end());
  file.resize(512, 0);
  file.insert(file.end(), {0, 0, uint8_t(paramBlocks), uint8_t(processor)});
  file.insert(file.end(), p.Records.begin(), p.Records.end());
  file.resize(512 * std::size_t(1 + paramBlocks), 0);
  for (int frame = 0; frame < 2; ++frame) {
    // Points in scaled units: (2f+2, 4, -6), (8, 10, 12) invalid, (0, 0, 2); residual 4 (x0.5) seen by cameras 3.
    for (std::vector<int> v : {std::vector<int>{2 * frame + 2, 4, -6, 0x0304}, {8, 10, 12, -1}, {0, 0, 2, 0}})
      for (int x : v) floating ? PutF(file, x == 0x0304 || x == -1 ? float(x) : float(x) * 0.5F) : Put16(file, x);
    for (int x : {11 + frame, 6, 1, -2}) floating ? PutF(file, float(x)) : Put16(file, x);
  }
  return file;
}

bool ReadBytes(const Bytes& bytes, QSTestC3D::VFile& file, std::string& error) {
  const std::string path = testing::TempDir() + "qs_c3d_reader_" + std::to_string(getpid()) + ".c3d";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
  const bool ok = QSTestC3D::Read(path, file, error);
  unlink(path.c_str());
  return ok;
}

TEST(C3DReader, ReadsIntegerAndFloatFilesBuiltByHand) {
  for (bool floating : {false, true}) {
    QSTestC3D::VFile f;
    std::string error;
    ASSERT_TRUE(ReadBytes(MakeFile(floating), f, error)) << error;
    EXPECT_EQ(f.PointLabels, (std::vector<std::string>{"S:A", "S:B", "S:\xC3\xA9"}));
    EXPECT_EQ(f.AnalogLabels, (std::vector<std::string>{"Fx", "Fy"}));
    EXPECT_EQ(f.AnalogUnits, (std::vector<std::string>{"N", "V"}));
    EXPECT_EQ(f.FirstFrame, 65541);
    ASSERT_EQ(f.Frames, 2U);
    EXPECT_FLOAT_EQ(f.FrameRate, 100);
    EXPECT_FLOAT_EQ(f.AnalogRate, 200);
    EXPECT_EQ(f.Points, (std::vector<float>{1, 2, -3, 2, 4, 5, 6, -1, 0, 0, 1, 0,  //
                                            2, 2, -3, 2, 4, 5, 6, -1, 0, 0, 1, 0}));
    // (stored - offset) x scale x 0.1: channel 0 offset 1 scale 2, channel 1 offset -2 scale 0.5.
    const std::vector<float> analog{2.0F, 0.4F, 0.0F, 0.0F, 2.2F, 0.4F, 0.0F, 0.0F};
    ASSERT_EQ(f.Analog.size(), analog.size());
    for (std::size_t i = 0; i < analog.size(); ++i) EXPECT_NEAR(f.Analog[i], analog[i], 1e-6) << i;
  }
}

TEST(C3DReader, RefusesOtherProcessorsShortDataAndRecordsPastTheSection) {
  Bytes shortData = MakeFile(true), notC3D = MakeFile(false);
  shortData.pop_back();
  notC3D[1] = 0x51;
  const std::vector<std::pair<Bytes, std::string>> cases{{MakeFile(false, 85), "DEC"},
                                                         {MakeFile(true, 86), "MIPS"},
                                                         {shortData, "whole frames"},
                                                         {MakeFile(false, 84, true), "past the parameter section"},
                                                         {notC3D, "0x50"}};
  for (const auto& [bytes, message] : cases) {
    QSTestC3D::VFile f;
    std::string error;
    EXPECT_FALSE(ReadBytes(bytes, f, error)) << message;
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
}

}  // namespace
