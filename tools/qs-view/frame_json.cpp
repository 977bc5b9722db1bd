#include "tools/qs-view/frame_json.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "QS.h"

namespace QSView {

namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when there is none.
std::size_t Utf8Length(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  uint32_t code = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  // Overlong forms, UTF-16 surrogates and code points past U+10FFFF.
  if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
      (code >= 0xD800 && code <= 0xDFFF)) {
    return 0;
  }
  return length;
}

void AppendNumber(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

// The values as an array, or null when the query that gave them failed.
void AppendVector(std::string& out, bool present, const double* values, int count) {
  if (!present) {
    out += "null";
    return;
  }
  out += '[';
  for (int i = 0; i < count; ++i) {
    if (i > 0) out += ',';
    AppendNumber(out, values[i]);
  }
  out += ']';
}

void AppendAxes(std::string& out, const VAxes& axes) {
  out += axes.YUp ? R"({"up":"y",)" : R"({"up":"z",)";
  out += axes.LeftHanded ? R"("handed":"left"})" : R"("handed":"right"})";
}

void AppendHeader(std::string& out, const char* type, const std::string& host, const VAxes& axes,
                  const VFrameLimits& limits) {
  out += R"({"type":")";
  out += type;
  out += R"(","host":)";
  AppendJsonString(out, host, limits.MaxNameBytes);
  out += R"(,"axes":)";
  AppendAxes(out, axes);
  out += R"(,"units":{"length":)";
  AppendJsonString(out, axes.Units.Length, limits.MaxNameBytes);
  out += R"(,"force":)";
  AppendJsonString(out, axes.Units.Force, limits.MaxNameBytes);
  out += '}';
}

// Whether the message has grown too large for another entry; notes the cut.
bool Full(const std::string& out, const VFrameLimits& limits, bool& truncated) {
  if (out.size() <= limits.MaxMessageBytes) return false;
  truncated = true;
  return true;
}

// How many of `count` entries to take, at most `limit`; notes a cut.
std::size_t Bounded(int32_t count, std::size_t limit, bool& truncated) {
  if (count <= 0) return 0;
  if (static_cast<std::size_t>(count) > limit) {
    truncated = true;
    return limit;
  }
  return static_cast<std::size_t>(count);
}

// The quaternion (x, y, z, w) of a rotation R in the server's axes, which the
// library gives unconverted, made the quaternion of A R A^T, A being the
// conversion the library applied to the translations: its vector part is
// mapped like a translation, then negated as well when A mirrors (left-handed,
// det A = -1); w stays. Only signs and places change, so nothing is rounded.
void RotationToChosenAxes(double q[4], const VAxes& axes) {
  double x = q[0], y = q[1], z = q[2];
  if (axes.YUp) {  // (x, y, z) becomes (x, z, -y); det +1
    const double up = z;
    z = -y;
    y = up;
  }
  if (axes.LeftHanded) {  // x negated, then the whole vector: x keeps its sign
    y = -y;
    z = -z;
  }
  q[0] = x;
  q[1] = y;
  q[2] = z;
}

void AppendSubject(std::string& out, const std::string& subject, const VAxes& axes, const VFrameLimits& limits,
                   bool& truncated) {
  out += R"({"name":)";
  AppendJsonString(out, subject, limits.MaxNameBytes);

  out += R"(,"segments":[)";
  int32_t count = 0;
  GetSegmentCount(subject.c_str(), &count);
  std::size_t taken = Bounded(count, limits.MaxSegmentsPerSubject, truncated);
  for (std::size_t i = 1; i <= taken && !Full(out, limits, truncated); ++i) {
    // Copied at once: the next call of the getter overwrites the text.
    const std::string segment = GetSegmentName(subject.c_str(), static_cast<int32_t>(i));
    double translation[3], rotation[4];
    int32_t occluded = 0;
    const bool placed = GetGlobalSegmentTranslation(subject.c_str(), segment.c_str(), translation, &occluded) &&
                        !occluded;
    const bool turned = GetGlobalSegmentRotationQuaternion(subject.c_str(), segment.c_str(), rotation, &occluded) &&
                        !occluded;
    if (turned) RotationToChosenAxes(rotation, axes);
    if (i > 1) out += ',';
    out += R"({"name":)";
    AppendJsonString(out, segment, limits.MaxNameBytes);
    out += R"(,"t":)";
    AppendVector(out, placed, translation, 3);
    out += R"(,"q":)";
    AppendVector(out, turned, rotation, 4);
    out += '}';
  }

  out += R"(],"markers":[)";
  count = 0;
  GetMarkerCount(subject.c_str(), &count);
  taken = Bounded(count, limits.MaxMarkersPerSubject, truncated);
  for (std::size_t i = 1; i <= taken && !Full(out, limits, truncated); ++i) {
    const std::string marker = GetMarkerName(subject.c_str(), static_cast<int32_t>(i));
    double position[3];
    int32_t occluded = 0;
    const bool seen = GetGlobalMarkerTranslation(subject.c_str(), marker.c_str(), position, &occluded) && !occluded;
    if (i > 1) out += ',';
    out += R"({"name":)";
    AppendJsonString(out, marker, limits.MaxNameBytes);
    out += R"(,"p":)";
    AppendVector(out, seen, position, 3);
    out += '}';
  }
  out += "]}";
}

}  // namespace

void AppendJsonString(std::string& out, const std::string& text, std::size_t maxBytes) {
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t length = Utf8Length(text, i);
    if (i + (length == 0 ? 1 : length) > maxBytes) break;
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (length == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD for a byte that is not UTF-8
      i += 1;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
  out += '"';
}

std::string ReadFrameJson(const std::string& host, double fps, const VAxes& axes, const VFrameLimits& limits) {
  std::string out;
  out.reserve(16 * 1024);
  bool truncated = false;
  AppendHeader(out, "frame", host, axes, limits);

  int32_t frame = 0;
  GetFrameNumber(&frame);
  out += R"(,"frame":)" + std::to_string(frame) + R"(,"fps":)";
  AppendNumber(out, std::round(fps * 10.0) / 10.0);

  out += R"(,"subjects":[)";
  int32_t subjects = 0;
  GetSubjectCount(&subjects);
  const std::size_t taken = Bounded(subjects, limits.MaxSubjects, truncated);
  for (std::size_t i = 1; i <= taken && !Full(out, limits, truncated); ++i) {
    const std::string subject = GetSubjectName(static_cast<int32_t>(i));
    if (i > 1) out += ',';
    AppendSubject(out, subject, axes, limits, truncated);
  }

  out += R"(],"plates":[)";
  int32_t plates = 0;
  GetForcePlateCount(&plates);
  const std::size_t plateCount = Bounded(plates, limits.MaxPlates, truncated);
  bool first = true;
  for (std::size_t i = 1; i <= plateCount; ++i) {
    int32_t id = 0;
    if (!GetForcePlateID(static_cast<int32_t>(i), &id)) continue;
    double force[3], centre[3];
    const bool hasForce = GetForceVector(id, force) != 0;
    const bool hasCentre = GetCentreOfPressure(id, centre) != 0;
    out += first ? "" : ",";
    first = false;
    out += R"({"id":)" + std::to_string(id) + R"(,"force":)";
    AppendVector(out, hasForce, force, 3);
    out += R"(,"cop":)";
    AppendVector(out, hasCentre, centre, 3);
    out += '}';
  }
  out += R"(],"truncated":)";
  out += truncated ? "true}" : "false}";
  return out;
}

std::string StatusJson(const std::string& host, const char* state, const VAxes& axes) {
  std::string out;
  AppendHeader(out, "status", host, axes, VFrameLimits());
  out += R"(,"state":")";
  out += state;
  out += R"("})";
  return out;
}

}  // namespace QSView
