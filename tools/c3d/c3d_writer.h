// VWriter: writes a C3D file (3D points and analog channels, frame by
// frame) to an open stream. It knows nothing of recordings or of the
// stream: the caller gives the layout, then every frame in order.
//
// The file: a 512-byte header block, the parameter section from block 2,
// then the data from block DATA_START (2 + parameter blocks), the last
// block zero-filled. Intel byte order (processor type 84), floating-point
// data.
//
// Header: word 1 = parameter block 2 and the 0x50 key; points; analog
// values per frame (channels x samples); first and last frame; interpolation
// gap 0; POINT:SCALE; DATA_START; analog samples per frame per channel; the
// frame rate. No label/range section (words 148-149 zero); word 150 is
// 12345 (four-character event labels) with no events.
//
// Frame numbers. The header's first/last frame words are 16-bit: they hold
// the true frame numbers when both lie in 1..65535, and otherwise 1 and
// the frame count (at most 65535, the format's cap for longer files). The
// true numbers, which may be 0 or pass 65535, are in TRIAL:ACTUAL_START_FIELD
// and TRIAL:ACTUAL_END_FIELD, each two 16-bit words, low word first
// (number = low + 65536 x high). POINT:FRAMES is the frame count while it
// fits (read as unsigned past 32767) and 65535 for 65535 frames or more;
// POINT:LONG_FRAMES always holds the count as a float (exact to 2^24, the
// writer's frame limit). A first frame number below 0 cannot be kept and
// is refused.
//
// Points: x, y, z and a fourth float per point. POINT:SCALE is -1.0: the
// negative sign marks float data; its size only scales residuals, and this
// writer stores no residuals (0 for a valid point, -1 for an invalid one,
// whose coordinates are 0), so -1 also leaves a reader that wrongly
// applies the scale to float coordinates with the right numbers. A point
// given as valid with a coordinate that is not finite is written invalid.
//
// Analog: one float per channel per sample, sample-major, after the points
// of the frame. ANALOG:SCALE 1 for every channel, GEN_SCALE 1, OFFSET 0, so
// (stored - OFFSET) x SCALE x GEN_SCALE is exactly the float given.
// ANALOG:RATE = samples per frame x POINT:RATE.
//
// Labels, descriptions and units are the format's space-padded character
// arrays: each array is as wide as its longest entry (at least 1 byte), up
// to the format's 255; past 255 rows (or fewer for very wide rows, so that
// a record stays within its 16-bit offset) they go on in LABELS2,
// LABELS3, ... (and DESCRIPTIONS2, UNITS2, SCALE2, OFFSET2, ...). Bytes are
// kept as given (UTF-8 names survive). A label longer than 255 bytes is cut
// at a UTF-8 character boundary; CutLabels() lists the full names so the
// caller can say which, and the full name stays in the caller's other
// outputs.
//
// FORCE_PLATFORM: USED 0 with TYPE, CORNERS, ORIGIN and CHANNEL present but
// sized for no plate, ZERO 0,0. Force-plate data stays in labelled analog
// channels, already in physical units, so no reader computes a centre of
// pressure from a plate geometry the file does not have.
//
// MANUFACTURER: COMPANY "QS" and SOFTWARE from the layout.
//
// Every size is checked against the field that holds it before anything is
// written: Begin() fails with a message instead of writing a corrupt file.
// The frame path reuses one buffer and writes each frame with one fwrite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace QSC3D {

// Frames: POINT:LONG_FRAMES is a float, exact up to 2^24.
constexpr uint64_t MaxFrames = uint64_t{1} << 24;
// TRIAL's frame numbers are unsigned 32-bit.
constexpr int64_t MaxFrameNumber = 0xFFFFFFFFll;
// Counts held in signed 16-bit words: POINT:USED, ANALOG:USED, and the
// header's analog values per frame (channels x samples).
constexpr std::size_t MaxUsed = 32767;
// The header's frame words and POINT:FRAMES are read as unsigned 16-bit.
constexpr uint32_t MaxHeaderFrame = 65535;
// A label, description or unit is one row of a character array.
constexpr std::size_t MaxTextBytes = 255;

struct VChannel {
  std::string Label, Description, Units;
};

struct VLayout {
  std::vector<std::string> PointLabels;        // "Subject:Marker", UTF-8 bytes kept as they are
  std::vector<std::string> PointDescriptions;  // same count, or empty for none
  std::string PointUnits = "mm";
  float PointRate = 100;               // frames per second
  std::vector<VChannel> Analog;        // every analog channel (forces, moments, COP components, voltages)
  uint32_t AnalogSamplesPerFrame = 0;  // samples of every channel per frame
  int64_t FirstFrame = 1;              // the recording's first frame number, kept in TRIAL
  uint64_t Frames = 0;                 // how many frames Frame() will be called for
  // POINT:X_SCREEN / Y_SCREEN (e.g. "+X", "+Z"), written when not empty.
  std::string XScreen, YScreen;
  std::string Software = "QS";  // MANUFACTURER:SOFTWARE
};

class VWriter {
 public:
  // Writes the header and the parameter section. False with Error() when
  // the layout cannot be written (a limit of the format exceeded, a count
  // that does not match, a write error); nothing is written then, unless
  // the write itself failed.
  [[nodiscard]] bool Begin(std::FILE* out, const VLayout& layout);
  // One frame. points: 3 floats per point (x, y, z), or null for a frame
  // not received (every point invalid). valid: one flag per point (0:
  // invalid), or null for all valid. analog: AnalogSamplesPerFrame x
  // channels floats, sample-major (sample 0 of every channel, then sample
  // 1, ...), or null for zeros.
  [[nodiscard]] bool Frame(const float* points, const uint8_t* valid, const float* analog);
  // After exactly layout.Frames frames: pads the last 512-byte block and
  // flushes. False with Error() otherwise.
  [[nodiscard]] bool Finish();

  const std::string& Error() const { return Message; }
  // The point and channel labels longer than the format allows, in full,
  // after Begin(). (Descriptions and units are cut the same way, silently.)
  const std::vector<std::string>& CutLabels() const { return Cut; }

 private:
  bool Fail(const std::string& message);
  bool Write(const void* data, std::size_t bytes);

  std::FILE* Out = nullptr;
  bool Begun = false;
  std::size_t Points = 0;
  std::size_t AnalogValues = 0;  // channels x samples per frame
  uint64_t Expected = 0;
  uint64_t Written = 0;
  uint64_t DataBytes = 0;
  std::vector<uint8_t> FrameBytes;
  std::vector<std::string> Cut;
  std::string Message;
};

}  // namespace QSC3D
