// What qs-view sends the page: the current frame as a host of the library
// reads it through the exported functions, written as one line of JSON.
#pragma once

#include <cstddef>
#include <string>

#include "tools/units/units.h"

namespace QSView {

// Bounds on what one message carries, whatever the server describes; what
// lies beyond them is left out and the message says "truncated": true.
struct VFrameLimits {
  std::size_t MaxSubjects = 64;
  std::size_t MaxSegmentsPerSubject = 256;
  std::size_t MaxMarkersPerSubject = 512;
  std::size_t MaxPlates = 32;
  std::size_t MaxNameBytes = 256;
  // Entries stop being added once the message has grown past this.
  std::size_t MaxMessageBytes = 2 * 1024 * 1024;
};

// The axis convention the library was set to, as the page needs it.
struct VAxes {
  bool YUp = false;
  bool LeftHanded = false;
  // The units of lengths and forces, which every message names.
  QSUnits::VUnits Units;
};

// {"type":"frame","host":...,"axes":{"up":"z","handed":"right"},"units":{"length":"mm","force":"N"},
//  "frame":N,"fps":F,
//  "subjects":[{"name":...,"segments":[{"name":...,"t":[x,y,z],"q":[x,y,z,w]}],
//               "markers":[{"name":...,"p":[x,y,z]}]}],
//  "plates":[{"id":N,"force":[x,y,z],"cop":[x,y,z]}],"truncated":false}
// Everything is in the chosen axes: translations, forces and centres of
// pressure as the library gives them, quaternions converted here (the library
// leaves rotations in the server's axes), so a segment's position and its
// rotation are in one frame. An occluded position or pose is null; so is a
// plate value the frame does not carry.
std::string ReadFrameJson(const std::string& host, double fps, const VAxes& axes,
                          const VFrameLimits& limits = {});

// {"type":"status","host":...,"axes":{...},"units":{...},"state":STATE}, where STATE is
// "connecting", "connected" or "lost".
std::string StatusJson(const std::string& host, const char* state, const VAxes& axes);

// `text` as a JSON string: quoted, escaped, at most `maxBytes` bytes of it,
// any byte that is not part of valid UTF-8 replaced by U+FFFD.
void AppendJsonString(std::string& out, const std::string& text, std::size_t maxBytes);

}  // namespace QSView
