// The heavy reference scene every benchmark uses: 50 subjects of 20
// segments and 20 markers each (1000 markers), 8 force plates with force,
// moment and centre-of-pressure outputs (10 samples per component) and a
// 16-channel analog output each. It exists in two forms: decoded (the
// containers a client ends up with) and encoded with serve/'s wire
// encoders (one static packet and one dynamic packet per frame).
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "streamio/dynamic_objects.h"
#include "streamio/static_objects.h"

namespace QSBench {

using VBytes = std::vector<uint8_t>;

constexpr int Subjects = 50;
constexpr int SegmentsPerSubject = 20;
constexpr int MarkersPerSubject = 20;  // 1000 markers in all
constexpr int ForcePlates = 8;
constexpr int SamplesPerComponent = 10;
constexpr int AnalogChannels = 16;  // per plate

// Output identifiers are unique across devices: the analog query matches
// voltage entries by output identifier alone.
constexpr int32_t PlateDeviceID(int plate) { return 101 + plate; }  // plate 0..7
constexpr int32_t ForceOutputID(int plate) { return 1000 + 10 * plate + 1; }
constexpr int32_t MomentOutputID(int plate) { return 1000 + 10 * plate + 2; }
constexpr int32_t CentreOutputID(int plate) { return 1000 + 10 * plate + 3; }
constexpr int32_t AnalogOutputID(int plate) { return 1000 + 10 * plate + 4; }

// Offset of the frame number inside a dynamic packet: packet header (8),
// FrameNumber object header (8).
constexpr std::size_t FrameNumberOffset = 16;

std::string SubjectName(int subject);  // 0-based: "Subject1" ...
std::string SegmentName(int segment);  // "Segment1" ...
std::string MarkerName(int marker);    // "Marker1" ...

class VHeavyScene {
 public:
  VHeavyScene();

  // Every type the scene fills: 1 to 6 and 9 to 13.
  static const std::set<int32_t>& Types();

  const LumoraQSStream::VStaticObjects& Description() const { return Description_; }
  // Frame `frameNumber` as decoded containers.
  LumoraQSStream::VDynamicObjects Frame(int32_t frameNumber) const;

  // Packet with every static object of the scene.
  const VBytes& StaticPacket() const { return StaticPacket_; }
  // Packet with every dynamic object of frame `frameNumber`.
  VBytes DynamicPacket(int32_t frameNumber) const;
  // Both in one packet, static objects first (a server's first answer).
  VBytes FirstPacket(int32_t frameNumber) const;

  // Rewrites the frame number of an encoded dynamic packet in place, so a
  // server can send a stream of frames without encoding each one again.
  static void SetFrameNumber(VBytes& dynamicPacket, int32_t frameNumber);

 private:
  std::vector<VBytes> StaticObjects() const;
  std::vector<VBytes> DynamicObjects(int32_t frameNumber) const;

  LumoraQSStream::VStaticObjects Description_;
  VBytes StaticPacket_;
};

}  // namespace QSBench
