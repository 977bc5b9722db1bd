// VWriter (C3D): the bytes at the places the format fixes: header words,
// the parameter section's header and a few parameters, the frames' floats;
// frame numbers past 16 bits; wide, continued and cut labels; refused
// layouts write nothing.
#include "tools/c3d/c3d_writer.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "c3d_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;

unsigned U16(const Bytes& b, std::size_t at) { return b.at(at) | b.at(at + 1) << 8; }
float F32(const Bytes& b, std::size_t at) {
  const uint32_t bits = U16(b, at) | static_cast<uint32_t>(U16(b, at + 2)) << 16;
  float value;
  std::memcpy(&value, &bits, 4);
  return value;
}

// Where GROUP:NAME's element size byte is, walking the records by their
// offsets (groups come before their parameters in this writer's files).
std::size_t Find(const Bytes& b, const std::string& group, const std::string& name) {
  int groupId = 0;
  for (std::size_t at = 512 + 4;;) {
    const std::size_t length = static_cast<uint8_t>(std::abs(static_cast<int8_t>(b.at(at))));
    const int id = static_cast<int8_t>(b.at(at + 1));
    const std::string record(b.begin() + at + 2, b.begin() + at + 2 + length);
    if (id < 0 && record == group) groupId = -id;
    if (id == groupId && record == name) return at + 4 + length;
    const unsigned offset = U16(b, at + 2 + length);
    if (offset == 0) return 0;
    at += 2 + length + offset;
  }
}

struct VFile {
  std::FILE* File = std::tmpfile();
  ~VFile() { std::fclose(File); }
  Bytes Read() {
    Bytes bytes(static_cast<std::size_t>(std::ftell(File)));
    std::rewind(File);
    EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), File), bytes.size());
    return bytes;
  }
};

// The file as the tests' own C3D reader (written apart from this writer)
// reads it.
QSTestC3D::VFile ReadBack(const Bytes& bytes) {
  const std::string path = testing::TempDir() + "qs_c3d_" + std::to_string(getpid()) + ".c3d";
  std::FILE* out = std::fopen(path.c_str(), "wb");
  EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), out), bytes.size());
  std::fclose(out);
  QSTestC3D::VFile file;
  std::string error;
  EXPECT_TRUE(QSTestC3D::Read(path, file, error)) << error;
  std::remove(path.c_str());
  return file;
}

TEST(C3DWriter, HeaderParametersAndFramesAtTheirPlaces) {
  QSC3D::VLayout layout;
  layout.PointLabels = {"Walker:Head", "Walker:T\xC3\xB6"};
  layout.Analog = {{"Fx1", "", "N"}, {"V1", "", "V"}};
  layout.AnalogSamplesPerFrame = 3;
  layout.FirstFrame = 177;
  layout.Frames = 2;
  VFile file;
  QSC3D::VWriter writer;
  ASSERT_TRUE(writer.Begin(file.File, layout)) << writer.Error();
  const float points[] = {1.5f, -2, 3, 4, 5, 6};
  const uint8_t valid[] = {1, 0};
  const float analog[] = {10, 20, 11, 21, 12, 22};
  ASSERT_TRUE(writer.Frame(points, valid, analog));
  ASSERT_TRUE(writer.Frame(nullptr, nullptr, nullptr));  // not received
  ASSERT_TRUE(writer.Finish()) << writer.Error();
  const Bytes b = file.Read();

  EXPECT_EQ(b[0], 2);
  EXPECT_EQ(b[1], 0x50);
  EXPECT_EQ(U16(b, 2), 2u);    // points
  EXPECT_EQ(U16(b, 4), 6u);    // channels x samples
  EXPECT_EQ(U16(b, 6), 177u);  // first frame
  EXPECT_EQ(U16(b, 8), 178u);  // last frame
  EXPECT_EQ(F32(b, 12), -1.0f);
  EXPECT_EQ(U16(b, 18), 3u);
  EXPECT_EQ(F32(b, 20), 100.0f);
  const unsigned blocks = b[512 + 2];
  EXPECT_EQ(b[512 + 3], 84);                                                           // Intel
  EXPECT_EQ(std::string(b.begin() + 512 + 4, b.begin() + 512 + 11), "\x05\xFFPOINT");  // first group
  const std::size_t dataStart = U16(b, 16);
  EXPECT_EQ(dataStart, 2 + blocks);
  EXPECT_EQ(U16(b, Find(b, "POINT", "DATA_START") + 2), dataStart);
  EXPECT_EQ(F32(b, Find(b, "ANALOG", "RATE") + 2), 300.0f);
  const std::size_t labels = Find(b, "POINT", "LABELS");
  EXPECT_EQ(std::string(b.begin() + labels + 2, b.begin() + labels + 4), std::string("\x0B\x02"));  // [11, 2]
  EXPECT_EQ(std::string(b.begin() + labels + 4, b.begin() + labels + 26), "Walker:HeadWalker:T\xC3\xB6 ");
  const std::size_t start = Find(b, "TRIAL", "ACTUAL_START_FIELD");
  EXPECT_EQ(U16(b, start + 3), 177u);
  EXPECT_EQ(U16(b, start + 5), 0u);

  const std::size_t frameBytes = (2 * 4 + 6) * 4;
  ASSERT_EQ(b.size(), (dataStart - 1) * 512 + 512);
  std::vector<float> data;
  for (std::size_t at = (dataStart - 1) * 512; at < (dataStart - 1) * 512 + 2 * frameBytes; at += 4) {
    data.push_back(F32(b, at));
  }
  EXPECT_EQ(data, (std::vector<float>{1.5f, -2, 3, 0,  0, 0, 0, -1, 10, 20, 11, 21, 12, 22,  //
                                      0,    0,  0, -1, 0, 0, 0, -1, 0,  0,  0,  0,  0,  0}));
}

TEST(C3DWriter, FrameNumbersPast16BitsAreKeptInTrial) {
  QSC3D::VLayout layout;
  layout.PointLabels = {"A:B"};
  layout.FirstFrame = 100000;
  layout.Frames = 70000;
  VFile file;
  QSC3D::VWriter writer;
  ASSERT_TRUE(writer.Begin(file.File, layout)) << writer.Error();
  const float point[] = {1, 2, 3};
  for (uint64_t frame = 0; frame < layout.Frames; ++frame) ASSERT_TRUE(writer.Frame(point, nullptr, nullptr));
  ASSERT_TRUE(writer.Finish()) << writer.Error();
  EXPECT_FALSE(writer.Frame(point, nullptr, nullptr));  // one more than announced
  const Bytes b = file.Read();
  EXPECT_EQ(U16(b, 6), 1u);
  EXPECT_EQ(U16(b, 8), 65535u);
  EXPECT_EQ(U16(b, Find(b, "POINT", "FRAMES") + 2), 65535u);
  EXPECT_EQ(F32(b, Find(b, "POINT", "LONG_FRAMES") + 2), 70000.0f);
  const std::size_t start = Find(b, "TRIAL", "ACTUAL_START_FIELD") + 3;
  const std::size_t end = Find(b, "TRIAL", "ACTUAL_END_FIELD") + 3;
  EXPECT_EQ(U16(b, start) + 65536 * U16(b, start + 2), 100000u);
  EXPECT_EQ(U16(b, end) + 65536 * U16(b, end + 2), 169999u);
  const QSTestC3D::VFile read = ReadBack(b);
  EXPECT_EQ(read.FirstFrame, 100000);
  ASSERT_EQ(read.Frames, 70000u);
  EXPECT_EQ(read.Points[69999 * 4 + 2], 3.0f);
}

TEST(C3DWriter, LabelsWidenGoOnInLabels2AndLabels3AndAreCutAtACharacter) {
  QSC3D::VLayout layout;
  for (int point = 0; point < 300; ++point) layout.PointLabels.push_back("S:M" + std::to_string(point));
  std::string umlauts;
  for (int i = 0; i < 150; ++i) umlauts += "\xC3\x84";  // 300 bytes
  layout.PointLabels[1] = umlauts;
  layout.Frames = 1;
  VFile file;
  QSC3D::VWriter writer;
  ASSERT_TRUE(writer.Begin(file.File, layout)) << writer.Error();
  EXPECT_EQ(writer.CutLabels(), std::vector<std::string>{umlauts});
  ASSERT_TRUE(writer.Frame(nullptr, nullptr, nullptr) && writer.Finish()) << writer.Error();
  const Bytes b = file.Read();
  // Rows of 254 bytes: 128 of them per parameter keep a record's offset
  // within its signed 16-bit word; 300 = 128 + 128 + 44.
  const std::size_t labels = Find(b, "POINT", "LABELS");
  const std::size_t labels3 = Find(b, "POINT", "LABELS3");
  ASSERT_NE(labels3, 0u);
  EXPECT_EQ(b[labels + 2], 254);  // 127 whole characters
  EXPECT_EQ(b[labels + 3], 128);
  EXPECT_EQ(std::string(b.begin() + labels + 4 + 254, b.begin() + labels + 4 + 2 * 254), umlauts.substr(0, 254));
  EXPECT_EQ(b[labels3 + 3], 44);
  EXPECT_EQ(std::string(b.begin() + labels3 + 4 + 43 * 254, b.begin() + labels3 + 4 + 43 * 254 + 6), "S:M299");
  const QSTestC3D::VFile read = ReadBack(b);
  ASSERT_EQ(read.PointLabels.size(), 300u);
  EXPECT_EQ(read.PointLabels[1], umlauts.substr(0, 254));
  EXPECT_EQ(read.PointLabels[299], "S:M299");
}

TEST(C3DWriter, RefusedLayoutsWriteNothing) {
  QSC3D::VLayout tooMany;
  for (int point = 0; point < 5000; ++point)
    tooMany.PointLabels.push_back(std::string(28, 'x') + std::to_string(1000 + point));
  tooMany.Frames = 1;
  QSC3D::VLayout negative;
  negative.FirstFrame = -1;
  negative.Frames = 1;
  QSC3D::VLayout noSamples;
  noSamples.Analog = {{"V1", "", "V"}};
  noSamples.Frames = 1;
  QSC3D::VLayout noFrames;
  for (const auto* layout : {&tooMany, &negative, &noSamples, &noFrames}) {
    VFile file;
    QSC3D::VWriter writer;
    EXPECT_FALSE(writer.Begin(file.File, *layout));
    EXPECT_NE(writer.Error(), "");
    EXPECT_EQ(std::ftell(file.File), 0);
  }
  VFile file;
  QSC3D::VWriter writer;
  negative.FirstFrame = 0;
  negative.Frames = 2;
  ASSERT_TRUE(writer.Begin(file.File, negative));
  ASSERT_TRUE(writer.Frame(nullptr, nullptr, nullptr));
  EXPECT_FALSE(writer.Finish());  // one frame short
  EXPECT_NE(writer.Error().find("1 frames written of the 2"), std::string::npos) << writer.Error();
}

}  // namespace
