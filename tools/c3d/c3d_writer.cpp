#include "tools/c3d/c3d_writer.h"

#include <cerrno>
#include <cmath>
#include <cstring>

#include "tools/c3d/c3d_parameters.h"

namespace QSC3D {

namespace {

// The parameter section starts at block 2, right after the header.
constexpr uint8_t ParameterBlock = 2;
// The header's second byte: the C3D key.
constexpr uint8_t HeaderKey = 0x50;
// Header word 150: four-character event labels.
constexpr uint16_t EventLabelsKey = 12345;
constexpr float PointScale = -1.0f;
constexpr float InvalidResidual = -1.0f;
constexpr std::size_t FloatsPerPoint = 4;  // x, y, z, residual
// DATA_START (header word 9, POINT:DATA_START) is a 16-bit word.
static_assert(ParameterBlock + MaxParameterBlocks <= MaxUsed, "DATA_START fits its word");

enum EGroup { PointGroup = 1, AnalogGroup, ForcePlatformGroup, TrialGroup, ManufacturerGroup };

// Byte offset of 1-based header word `word`.
constexpr std::size_t Word(std::size_t word) { return (word - 1) * 2; }

struct VFrameRange {
  uint16_t HeaderFirst, HeaderLast;
  uint32_t First, Last;
};

VFrameRange FrameRange(const VLayout& layout) {
  VFrameRange range{};
  range.First = static_cast<uint32_t>(layout.FirstFrame);
  range.Last = static_cast<uint32_t>(layout.FirstFrame + static_cast<int64_t>(layout.Frames) - 1);
  if (range.First >= 1 && range.Last <= MaxHeaderFrame) {
    range.HeaderFirst = static_cast<uint16_t>(range.First);
    range.HeaderLast = static_cast<uint16_t>(range.Last);
  } else {
    range.HeaderFirst = 1;
    range.HeaderLast = static_cast<uint16_t>(layout.Frames < MaxHeaderFrame ? layout.Frames : MaxHeaderFrame);
  }
  return range;
}

// Two 16-bit words, low word first.
std::vector<int16_t> LowHigh(uint32_t value) {
  return {static_cast<int16_t>(static_cast<uint16_t>(value)), static_cast<int16_t>(static_cast<uint16_t>(value >> 16))};
}

// Texts cut to one row of a character array; the cut ones go to `cut`.
std::vector<std::string> Rows(const std::vector<std::string>& texts, std::vector<std::string>* cut) {
  std::vector<std::string> rows;
  rows.reserve(texts.size());
  for (const std::string& text : texts) {
    rows.push_back(CutAtCharacter(text, MaxTextBytes));
    if (cut && rows.back().size() != text.size()) cut->push_back(text);
  }
  return rows;
}

std::string CheckLayout(const VLayout& layout) {
  const std::size_t points = layout.PointLabels.size();
  const std::size_t channels = layout.Analog.size();
  if (!(std::isfinite(layout.PointRate) && layout.PointRate > 0))
    return "the frame rate must be a positive number, not " + std::to_string(layout.PointRate);
  if (layout.Frames == 0) return "there are no frames to write";
  if (layout.Frames > MaxFrames)
    return std::to_string(layout.Frames) + " frames are more than the writer's " + std::to_string(MaxFrames);
  if (layout.FirstFrame < 0)
    return "the first frame number " + std::to_string(layout.FirstFrame) + " is below 0 and cannot be kept";
  if (layout.FirstFrame > MaxFrameNumber - static_cast<int64_t>(layout.Frames) + 1)
    return "the last frame number passes " + std::to_string(MaxFrameNumber);
  if (!layout.PointDescriptions.empty() && layout.PointDescriptions.size() != points)
    return std::to_string(layout.PointDescriptions.size()) + " point descriptions for " + std::to_string(points) +
           " points";
  if (points > MaxUsed) return std::to_string(points) + " points are more than the format's " + std::to_string(MaxUsed);
  if (channels > 0 && layout.AnalogSamplesPerFrame == 0) return "analog channels with 0 samples per frame";
  if (channels * layout.AnalogSamplesPerFrame > MaxUsed)
    return std::to_string(channels) + " analog channels x " + std::to_string(layout.AnalogSamplesPerFrame) +
           " samples per frame are more than the format's " + std::to_string(MaxUsed) + " values per frame";
  return "";
}

// The parameter section of `layout`, whose frame range is `range`, with the
// data starting at block `dataStart` (which depends on the section's own
// size: the caller builds it twice when the first guess was wrong).
VParameterSection Parameters(const VLayout& layout, const VFrameRange& range, uint16_t dataStart,
                             std::vector<std::string>* cut) {
  VParameterSection section;
  const std::size_t channels = layout.Analog.size();
  const float analogRate = static_cast<float>(layout.AnalogSamplesPerFrame) * layout.PointRate;
  std::vector<std::string> analogLabels, analogDescriptions, analogUnits;
  for (const VChannel& channel : layout.Analog) {
    analogLabels.push_back(channel.Label);
    analogDescriptions.push_back(channel.Description);
    analogUnits.push_back(channel.Units);
  }

  section.Group(PointGroup, "POINT", "3D points");
  section.Int16(PointGroup, "USED", static_cast<int16_t>(layout.PointLabels.size()), "Number of points");
  section.Float(PointGroup, "SCALE", PointScale, "Negative: float data");
  section.Float(PointGroup, "RATE", layout.PointRate, "Frames per second");
  section.Int16(PointGroup, "DATA_START", static_cast<int16_t>(dataStart), "First block of the data");
  const uint64_t headerFrames = layout.Frames < MaxHeaderFrame ? layout.Frames : MaxHeaderFrame;
  section.Int16(PointGroup, "FRAMES", static_cast<int16_t>(static_cast<uint16_t>(headerFrames)),
                "Number of frames (unsigned; 65535: see LONG_FRAMES)");
  section.Float(PointGroup, "LONG_FRAMES", static_cast<float>(layout.Frames), "Number of frames");
  section.Text(PointGroup, "UNITS", layout.PointUnits, "Unit of the coordinates");
  section.TextRows(PointGroup, "LABELS", Rows(layout.PointLabels, cut), "Point labels");
  section.TextRows(PointGroup, "DESCRIPTIONS",
                   Rows(layout.PointDescriptions.empty() ? std::vector<std::string>(layout.PointLabels.size())
                                                         : layout.PointDescriptions,
                        nullptr),
                   "Point descriptions");
  if (!layout.XScreen.empty()) section.Text(PointGroup, "X_SCREEN", layout.XScreen, "Screen X axis");
  if (!layout.YScreen.empty()) section.Text(PointGroup, "Y_SCREEN", layout.YScreen, "Screen Y axis");

  section.Group(AnalogGroup, "ANALOG", "Analog channels");
  section.Int16(AnalogGroup, "USED", static_cast<int16_t>(channels), "Number of channels");
  section.Float(AnalogGroup, "RATE", analogRate, "Samples per second");
  section.FloatRows(AnalogGroup, "SCALE", std::vector<float>(channels, 1.0f), "Channel scales");
  section.Float(AnalogGroup, "GEN_SCALE", 1.0f, "General scale");
  section.Int16Rows(AnalogGroup, "OFFSET", std::vector<int16_t>(channels, 0), "Channel offsets");
  section.Text(AnalogGroup, "FORMAT", "SIGNED", "Offsets are signed");
  section.TextRows(AnalogGroup, "UNITS", Rows(analogUnits, nullptr), "Channel units");
  section.TextRows(AnalogGroup, "LABELS", Rows(analogLabels, cut), "Channel labels");
  section.TextRows(AnalogGroup, "DESCRIPTIONS", Rows(analogDescriptions, nullptr), "Channel descriptions");

  section.Group(ForcePlatformGroup, "FORCE_PLATFORM", "No plates: plate data is in analog channels");
  section.Int16(ForcePlatformGroup, "USED", 0, "Number of plates");
  section.Int16s(ForcePlatformGroup, "TYPE", {0}, {}, "Plate types");
  section.Int16s(ForcePlatformGroup, "ZERO", {2}, {0, 0}, "Zero baseline frames");
  section.Floats(ForcePlatformGroup, "CORNERS", {3, 4, 0}, {}, "Plate corners");
  section.Floats(ForcePlatformGroup, "ORIGIN", {3, 0}, {}, "Plate origins");
  section.Int16s(ForcePlatformGroup, "CHANNEL", {6, 0}, {}, "Plate channels");

  section.Group(TrialGroup, "TRIAL", "Frame numbers");
  section.Int16s(TrialGroup, "ACTUAL_START_FIELD", {2}, LowHigh(range.First), "First frame (low, high word)");
  section.Int16s(TrialGroup, "ACTUAL_END_FIELD", {2}, LowHigh(range.Last), "Last frame (low, high word)");
  section.Float(TrialGroup, "CAMERA_RATE", layout.PointRate, "Frames per second");

  section.Group(ManufacturerGroup, "MANUFACTURER", "Writer of the file");
  section.Text(ManufacturerGroup, "COMPANY", "QS", "Company");
  section.Text(ManufacturerGroup, "SOFTWARE", layout.Software, "Software");
  return section;
}

std::vector<uint8_t> Header(const VLayout& layout, const VFrameRange& range, uint16_t dataStart) {
  std::vector<uint8_t> header(BlockBytes, 0);
  header[0] = ParameterBlock;
  header[1] = HeaderKey;
  PutUint16(&header[Word(2)], static_cast<uint16_t>(layout.PointLabels.size()));
  PutUint16(&header[Word(3)], static_cast<uint16_t>(layout.Analog.size() * layout.AnalogSamplesPerFrame));
  PutUint16(&header[Word(4)], range.HeaderFirst);
  PutUint16(&header[Word(5)], range.HeaderLast);
  PutFloat(&header[Word(7)], PointScale);
  PutUint16(&header[Word(9)], dataStart);
  PutUint16(&header[Word(10)], static_cast<uint16_t>(layout.AnalogSamplesPerFrame));
  PutFloat(&header[Word(11)], layout.PointRate);
  PutUint16(&header[Word(150)], EventLabelsKey);
  return header;
}

}  // namespace

bool VWriter::Fail(const std::string& message) {
  if (Message.empty()) Message = message;
  return false;
}

bool VWriter::Write(const void* data, std::size_t bytes) {
  if (bytes == 0 || std::fwrite(data, 1, bytes, Out) == bytes) return true;
  return Fail(std::string("cannot write the C3D file: ") + std::strerror(errno));
}

bool VWriter::Begin(std::FILE* out, const VLayout& layout) {
  if (Begun) return Fail("Begin() called twice");
  if (!out) return Fail("no file to write");
  const std::string problem = CheckLayout(layout);
  if (!problem.empty()) return Fail("cannot write C3D: " + problem);

  const VFrameRange range = FrameRange(layout);
  // The data starts after the parameter section, whose size does not depend
  // on DATA_START's value: build it once to learn its size, once for real.
  std::vector<std::string> cut;
  VParameterSection sizing = Parameters(layout, range, 0, nullptr);
  if (!sizing.Finish()) return Fail("cannot write C3D: " + sizing.Error());
  const uint16_t dataStart = static_cast<uint16_t>(ParameterBlock + sizing.Blocks());
  VParameterSection section = Parameters(layout, range, dataStart, &cut);
  if (!section.Finish()) return Fail("cannot write C3D: " + section.Error());

  Begun = true;
  Out = out;
  Points = layout.PointLabels.size();
  AnalogValues = layout.Analog.size() * layout.AnalogSamplesPerFrame;
  Expected = layout.Frames;
  Cut = std::move(cut);
  FrameBytes.assign((Points * FloatsPerPoint + AnalogValues) * 4, 0);
  const std::vector<uint8_t> header = Header(layout, range, dataStart);
  return Write(header.data(), header.size()) && Write(section.Bytes().data(), section.Bytes().size());
}

bool VWriter::Frame(const float* points, const uint8_t* valid, const float* analog) {
  if (!Begun) return Fail("Frame() before Begin()");
  if (!Message.empty()) return false;
  if (Written == Expected) return Fail("more frames than the " + std::to_string(Expected) + " announced");
  uint8_t* at = FrameBytes.data();
  for (std::size_t point = 0; point < Points; ++point, at += FloatsPerPoint * 4) {
    const float* xyz = points ? points + point * 3 : nullptr;
    const bool good =
        xyz && (!valid || valid[point]) && std::isfinite(xyz[0]) && std::isfinite(xyz[1]) && std::isfinite(xyz[2]);
    PutFloat(at, good ? xyz[0] : 0.0f);
    PutFloat(at + 4, good ? xyz[1] : 0.0f);
    PutFloat(at + 8, good ? xyz[2] : 0.0f);
    PutFloat(at + 12, good ? 0.0f : InvalidResidual);
  }
  for (std::size_t value = 0; value < AnalogValues; ++value, at += 4) PutFloat(at, analog ? analog[value] : 0.0f);
  if (!Write(FrameBytes.data(), FrameBytes.size())) return false;
  ++Written;
  DataBytes += FrameBytes.size();
  return true;
}

bool VWriter::Finish() {
  if (!Begun) return Fail("Finish() before Begin()");
  if (!Message.empty()) return false;
  if (Written != Expected)
    return Fail(std::to_string(Written) + " frames written of the " + std::to_string(Expected) + " announced");
  static const uint8_t zeros[BlockBytes] = {};
  if (!Write(zeros, (BlockBytes - DataBytes % BlockBytes) % BlockBytes)) return false;
  if (std::fflush(Out) != 0 || std::ferror(Out))
    return Fail(std::string("cannot write the C3D file: ") + std::strerror(errno));
  return true;
}

}  // namespace QSC3D
