// The C3D layout as this reader takes it: 512-byte blocks; block 1 is the
// header, whose first byte is the block number of the parameter section and
// whose second byte is 0x50; the parameter section opens with four bytes
// (two ignored, its block count, 83 + processor type) and then group and
// parameter records, each linked to the next by a 16-bit offset counted from
// that offset word, 0 on the last; the data section holds, per frame, every
// point (x, y, z, residual word) and then every analog sample (channels
// fastest), in 16-bit integers scaled by the POINT:SCALE when it is positive
// and in floats when it is negative.
#include "c3d_reader.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

namespace QSTestC3D {
namespace {

constexpr std::size_t kBlockBytes = 512;
constexpr uint8_t kHeaderKey = 0x50;
constexpr int kIntelProcessor = 84, kDecProcessor = 85, kMipsProcessor = 86;
constexpr std::size_t kMaxFileBytes = std::size_t(1) << 30;
constexpr std::size_t kMaxDimensions = 7;
constexpr uint32_t kFieldWordSpan = 65536;  // the TRIAL fields are 32-bit: low word, high word
constexpr int kMaxLabelParameters = 64;     // LABELS, LABELS2 ... LABELS64
constexpr double kMaxWhole = 1e15;          // counts read from floats, well inside 64 bits

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
int16_t I16(const uint8_t* p) { return static_cast<int16_t>(U16(p)); }
float F32(const uint8_t* p) {
  const uint32_t bits = uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// A whole number from a 16-bit integer (read unsigned, as counts are),
// a byte or a float parameter; false when there is none.
bool Whole(const VParameter* p, std::size_t i, double& value) {
  if (!p || i >= p->Count()) return false;
  if (p->Type == 2) value = U16(&p->Data[i * 2]);
  else if (p->Type == 4) value = p->Float(i);
  else if (p->Type == 1) value = p->Byte(i);
  else return false;
  return std::isfinite(value) && value >= 0 && value <= kMaxWhole;
}

// NAME, NAME2, NAME3 ... of one group, joined.
std::vector<std::string> JoinedStrings(const VFile& file, const std::string& key) {
  std::vector<std::string> all;
  for (int n = 1; n <= kMaxLabelParameters; ++n) {
    const VParameter* p = file.Find(n == 1 ? key : key + std::to_string(n));
    if (!p) break;
    for (auto& s : p->Strings()) all.push_back(std::move(s));
  }
  return all;
}

std::vector<float> JoinedNumbers(const VFile& file, const std::string& key) {
  std::vector<float> all;
  for (int n = 1; n <= kMaxLabelParameters; ++n) {
    const VParameter* p = file.Find(n == 1 ? key : key + std::to_string(n));
    if (!p) break;
    for (std::size_t i = 0; i < p->Count(); ++i) all.push_back(p->Type == 4 ? p->Float(i) : p->Int(i));
  }
  return all;
}

bool Fail(std::string& error, std::string message) {
  error = std::move(message);
  return false;
}

bool ReadParameters(const std::vector<uint8_t>& bytes, std::size_t begin, std::size_t end, VFile& file,
                    std::string& error) {
  std::map<int, std::string> groups;
  std::vector<std::pair<int, VParameter>> parameters;
  std::size_t pos = begin + 4;
  while (true) {
    if (pos + 2 > end) return Fail(error, "parameter records run past the parameter section");
    const std::size_t nameLength = static_cast<std::size_t>(std::abs(int(int8_t(bytes[pos]))));
    const int id = int8_t(bytes[pos + 1]);
    if (nameLength == 0) break;  // zero padding after the last record
    if (id == 0) return Fail(error, "parameter record with group id 0 at byte " + std::to_string(pos));
    const std::size_t offsetAt = pos + 2 + nameLength;
    if (offsetAt + 3 > end) return Fail(error, "parameter record runs past the parameter section");
    const std::string name = Upper(std::string(bytes.begin() + long(pos + 2), bytes.begin() + long(offsetAt)));
    const int offset = I16(&bytes[offsetAt]);
    std::size_t at = offsetAt + 2;
    VParameter parameter;
    if (id > 0) {
      parameter.Name = name;
      if (at + 2 > end) return Fail(error, "parameter " + name + " runs past the parameter section");
      parameter.Type = int8_t(bytes[at]);
      const std::size_t dimensionCount = bytes[at + 1];
      at += 2;
      if (parameter.Type != -1 && parameter.Type != 1 && parameter.Type != 2 && parameter.Type != 4)
        return Fail(error, "parameter " + name + " has element type " + std::to_string(parameter.Type));
      if (dimensionCount > kMaxDimensions) return Fail(error, "parameter " + name + " has too many dimensions");
      if (at + dimensionCount > end) return Fail(error, "parameter " + name + " runs past the parameter section");
      parameter.Dimensions.assign(bytes.begin() + long(at), bytes.begin() + long(at + dimensionCount));
      at += dimensionCount;
      std::size_t size = static_cast<std::size_t>(std::abs(int(parameter.Type)));
      for (uint8_t d : parameter.Dimensions) size *= d;  // at most 4 x 255^7, fits 64 bits
      if (size > end - at) return Fail(error, "parameter " + name + " runs past the parameter section");
      parameter.Data.assign(bytes.begin() + long(at), bytes.begin() + long(at + size));
      at += size;
    }
    if (at + 1 > end || bytes[at] > end - at - 1)
      return Fail(error, "description of " + name + " runs past the parameter section");
    at += 1 + bytes[at];
    if (id < 0) {
      if (!groups.emplace(-id, name).second) return Fail(error, "group id " + std::to_string(-id) + " used twice");
    } else {
      parameters.emplace_back(id, std::move(parameter));
    }
    if (offset == 0) break;
    if (offset < 0 || offsetAt + std::size_t(offset) < at)
      return Fail(error, "record " + name + " points to the next record inside itself");
    pos = offsetAt + std::size_t(offset);
  }
  for (auto& [id, parameter] : parameters) {
    auto group = groups.find(id);
    if (group == groups.end()) return Fail(error, "parameter " + parameter.Name + " belongs to no group");
    parameter.Group = group->second;
    const std::string key = parameter.Group + ":" + parameter.Name;
    if (!file.Parameters.emplace(key, std::move(parameter)).second) return Fail(error, key + " appears twice");
  }
  return true;
}

// The first frame and the frame count, from TRIAL, POINT:LONG_FRAMES,
// POINT:FRAMES or the header, in that order; every one present must agree.
bool ReadFrameRange(VFile& file, std::string& error) {
  const VParameter* start = file.Find("TRIAL:ACTUAL_START_FIELD");
  const VParameter* end = file.Find("TRIAL:ACTUAL_END_FIELD");
  double longFrames = 0, frames = 0;
  const bool hasLong = Whole(file.Find("POINT:LONG_FRAMES"), 0, longFrames);
  const bool hasFrames = Whole(file.Find("POINT:FRAMES"), 0, frames);
  file.FirstFrame = file.HeaderFirstFrame;
  if (start || end) {
    if (!start || !end || start->Type != 2 || end->Type != 2 || start->Count() != 2 || end->Count() != 2)
      return Fail(error, "TRIAL:ACTUAL_START_FIELD/ACTUAL_END_FIELD must both be two 16-bit words");
    const int64_t first = U16(&start->Data[0]) + int64_t(kFieldWordSpan) * U16(&start->Data[2]);
    const int64_t last = U16(&end->Data[0]) + int64_t(kFieldWordSpan) * U16(&end->Data[2]);
    if (last < first) return Fail(error, "TRIAL:ACTUAL_END_FIELD is before ACTUAL_START_FIELD");
    file.FirstFrame = first;
    file.Frames = uint64_t(last - first + 1);
  } else if (hasLong) {
    file.Frames = uint64_t(longFrames);
  } else if (hasFrames) {
    file.Frames = uint64_t(frames);
  } else {
    if (file.HeaderLastFrame < file.HeaderFirstFrame) return Fail(error, "header last frame is before its first");
    file.Frames = uint64_t(file.HeaderLastFrame - file.HeaderFirstFrame + 1);
  }
  if (hasLong && uint64_t(longFrames) != file.Frames)
    return Fail(error, "POINT:LONG_FRAMES disagrees with the frame count " + std::to_string(file.Frames));
  // A 16-bit POINT:FRAMES of 65535 means "more than it can hold".
  const bool framesSaturated = hasFrames && frames == 65535 && file.Find("POINT:FRAMES")->Type == 2;
  if (hasFrames && !(framesSaturated && file.Frames >= 65535) && uint64_t(frames) != file.Frames)
    return Fail(error, "POINT:FRAMES " + std::to_string(uint64_t(frames)) + " disagrees with the frame count " +
                           std::to_string(file.Frames));
  return true;
}

// A point's fourth word: negative marks it invalid (-1); otherwise the low
// byte is the residual in units of |POINT:SCALE| and the high byte the
// cameras that saw it.
bool Residual(double word, float scale, float& residual) {
  if (!std::isfinite(word) || word < -32768 || word > 32767) return false;
  residual = word < 0 ? -1.0F : float(int(word) & 0xFF) * std::fabs(scale);
  return true;
}

bool ReadData(const std::vector<uint8_t>& bytes, VFile& file, std::string& error) {
  const bool floating = file.Scale < 0;
  const std::size_t word = floating ? 4 : 2;
  const std::size_t samples = std::size_t(file.AnalogSamplesPerFrame), channels = std::size_t(file.AnalogChannels);
  const std::size_t frameBytes = word * (std::size_t(file.PointCount) * 4 + samples * channels);
  const std::size_t begin = (std::size_t(file.DataStartBlock) - 1) * kBlockBytes;
  if (begin > bytes.size()) return Fail(error, "data section starts past the end of the file");
  if (frameBytes > 0 && file.Frames > (bytes.size() - begin) / frameBytes)
    return Fail(error, "data section holds " + std::to_string((bytes.size() - begin) / frameBytes) +
                           " whole frames, the frame count is " + std::to_string(file.Frames));
  const std::size_t used = begin + std::size_t(file.Frames) * frameBytes;
  if (bytes.size() - used >= kBlockBytes)
    return Fail(error, std::to_string(bytes.size() - used) + " bytes after the last frame");

  std::vector<float> scale(channels, 1), offset(channels, 0);
  float generalScale = 1;
  if (channels > 0) {
    scale = JoinedNumbers(file, "ANALOG:SCALE");
    offset = JoinedNumbers(file, "ANALOG:OFFSET");
    const VParameter* gen = file.Find("ANALOG:GEN_SCALE");
    if (scale.size() < channels || offset.size() < channels || !gen || gen->Type != 4 || gen->Count() != 1)
      return Fail(error, "ANALOG:SCALE/OFFSET need one value per channel and GEN_SCALE one float");
    generalScale = gen->Float(0);
  }
  const VParameter* format = file.Find("ANALOG:FORMAT");
  const bool unsignedAnalog = format && !format->Strings().empty() && format->Strings()[0] == "UNSIGNED";

  file.Points.resize(std::size_t(file.Frames) * std::size_t(file.PointCount) * 4);
  file.Analog.resize(std::size_t(file.Frames) * samples * channels);
  if (frameBytes == 0) return true;
  auto value = [&](const uint8_t* p) -> double { return floating ? double(F32(p)) : double(I16(p)); };
  float* point = file.Points.data();
  float* analog = file.Analog.data();
  for (uint64_t f = 0; f < file.Frames; ++f) {
    const uint8_t* p = &bytes[begin + std::size_t(f) * frameBytes];
    for (int i = 0; i < file.PointCount; ++i, p += 4 * word) {
      const float unit = floating ? 1.0F : file.Scale;
      for (int axis = 0; axis < 3; ++axis) *point++ = float(value(p + axis * word)) * unit;
      if (!Residual(value(p + 3 * word), file.Scale, *point++))
        return Fail(error, "frame " + std::to_string(f) + " point " + std::to_string(i) + ": bad residual word");
    }
    for (std::size_t s = 0; s < samples; ++s)
      for (std::size_t c = 0; c < channels; ++c, p += word) {
        const double stored = floating || !unsignedAnalog ? value(p) : double(U16(p));
        *analog++ = float((stored - offset[c]) * scale[c] * generalScale);
      }
  }
  return true;
}

}  // namespace

int16_t VParameter::Int(std::size_t i) const { return Type == 2 && i < Count() ? I16(&Data[i * 2]) : 0; }
float VParameter::Float(std::size_t i) const { return Type == 4 && i < Count() ? F32(&Data[i * 4]) : 0; }
uint8_t VParameter::Byte(std::size_t i) const { return (Type == 1 || Type == -1) && i < Data.size() ? Data[i] : 0; }

std::size_t VParameter::Count() const {
  return Type == 0 ? 0 : Data.size() / static_cast<std::size_t>(std::abs(int(Type)));
}

std::vector<std::string> VParameter::Strings() const {
  std::vector<std::string> rows;
  if (Type != -1) return rows;
  const std::size_t width = Dimensions.empty() ? Data.size() : Dimensions[0];
  std::size_t count = 1;
  for (std::size_t d = 1; d < Dimensions.size(); ++d) count *= Dimensions[d];
  if (width * count != Data.size()) return rows;
  for (std::size_t r = 0; r < count; ++r) {
    std::string row(Data.begin() + long(r * width), Data.begin() + long((r + 1) * width));
    row.erase(row.find_last_not_of(' ') + 1);
    rows.push_back(std::move(row));
  }
  return rows;
}

const VParameter* VFile::Find(const std::string& groupColonName) const {
  auto found = Parameters.find(Upper(groupColonName));
  return found == Parameters.end() ? nullptr : &found->second;
}

bool Read(const std::string& path, VFile& file, std::string& error) {
  file = VFile();
  std::ifstream in(path, std::ios::binary);
  if (!in) return Fail(error, "cannot open " + path);
  in.seekg(0, std::ios::end);
  const std::streamoff length = in.tellg();
  if (length < 0 || std::size_t(length) > kMaxFileBytes) return Fail(error, "cannot take the size of " + path);
  in.seekg(0);
  std::vector<uint8_t> bytes(static_cast<std::size_t>(length));
  if (!in.read(reinterpret_cast<char*>(bytes.data()), length)) return Fail(error, "cannot read " + path);
  if (bytes.size() < kBlockBytes) return Fail(error, "shorter than the 512-byte header");
  if (bytes[1] != kHeaderKey) return Fail(error, "second byte is " + std::to_string(bytes[1]) + ", not 0x50");
  file.ParameterBlock = bytes[0];
  if (file.ParameterBlock < 2) return Fail(error, "parameter section must start after the header block");
  const std::size_t parameters = (std::size_t(file.ParameterBlock) - 1) * kBlockBytes;
  if (parameters + 4 > bytes.size()) return Fail(error, "parameter section starts past the end of the file");
  file.ProcessorType = bytes[parameters + 3];
  if (file.ProcessorType == kDecProcessor) return Fail(error, "DEC processor type (85) is not read, only Intel (84)");
  if (file.ProcessorType == kMipsProcessor) return Fail(error, "MIPS processor type (86) is not read, only Intel (84)");
  if (file.ProcessorType != kIntelProcessor)
    return Fail(error, "unknown processor type " + std::to_string(file.ProcessorType) + ", expected Intel (84)");
  const std::size_t sectionBlocks = bytes[parameters + 2];
  if (sectionBlocks == 0 || parameters + sectionBlocks * kBlockBytes > bytes.size())
    return Fail(error, "parameter section of " + std::to_string(sectionBlocks) + " blocks does not fit the file");

  const uint8_t* h = bytes.data();
  file.PointCount = U16(h + 2);
  file.AnalogWordsPerFrame = U16(h + 4);
  file.HeaderFirstFrame = U16(h + 6);
  file.HeaderLastFrame = U16(h + 8);
  file.Scale = F32(h + 12);
  file.DataStartBlock = U16(h + 16);
  file.AnalogSamplesPerFrame = U16(h + 18);
  file.FrameRate = F32(h + 20);
  if (!std::isfinite(file.Scale) || file.Scale == 0) return Fail(error, "header scale must be a non-zero number");
  if (file.DataStartBlock < file.ParameterBlock + int(sectionBlocks))
    return Fail(error, "data section starts inside the parameter section");

  if (!ReadParameters(bytes, parameters, parameters + sectionBlocks * kBlockBytes, file, error)) return false;
  file.PointLabels = JoinedStrings(file, "POINT:LABELS");
  file.PointDescriptions = JoinedStrings(file, "POINT:DESCRIPTIONS");
  file.AnalogLabels = JoinedStrings(file, "ANALOG:LABELS");
  file.AnalogUnits = JoinedStrings(file, "ANALOG:UNITS");

  double number = 0;
  if (Whole(file.Find("POINT:USED"), 0, number) && number != file.PointCount)
    return Fail(error, "POINT:USED disagrees with the header's point count");
  if (Whole(file.Find("POINT:DATA_START"), 0, number) && number != file.DataStartBlock)
    return Fail(error, "POINT:DATA_START disagrees with the header");
  const VParameter* pointScale = file.Find("POINT:SCALE");
  if (pointScale && (pointScale->Type != 4 || (pointScale->Float(0) < 0) != (file.Scale < 0)))
    return Fail(error, "POINT:SCALE and the header disagree on integer or float data");
  if (file.AnalogWordsPerFrame > 0) {
    if (file.AnalogSamplesPerFrame == 0 || file.AnalogWordsPerFrame % file.AnalogSamplesPerFrame != 0)
      return Fail(error, "analog words per frame is not a whole number of samples");
    file.AnalogChannels = file.AnalogWordsPerFrame / file.AnalogSamplesPerFrame;
  }
  if (Whole(file.Find("ANALOG:USED"), 0, number) && number != file.AnalogChannels)
    return Fail(error, "ANALOG:USED disagrees with the header's analog words per frame");
  const VParameter* analogRate = file.Find("ANALOG:RATE");
  file.AnalogRate = analogRate && analogRate->Type == 4 ? analogRate->Float(0)
                                                        : file.FrameRate * float(file.AnalogSamplesPerFrame);
  return ReadFrameRange(file, error) && ReadData(bytes, file, error);
}

}  // namespace QSTestC3D
