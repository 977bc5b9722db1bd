// VFrameQueries: the pose, marker, force-plate and name queries of the
// exported functions, answered from one frame record it holds, with the axis
// settings they apply. The facade answers its queries through one of these;
// a tool reading a recording uses one directly, with no connection at all.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "api/frame_lookups.h"
#include "client/frame_record.h"

// Every query writes its neutral output (0, 0.0, zero vector, "") before any
// check and returns false with it on failure: without a frame (frame number
// -1, or the answerability test given at construction says no), for an index
// of 0 or beyond the list (indexes are 1-based, compared as unsigned
// numbers), or for a name that matches nothing (names are compared exactly;
// the first match in list order wins).
//
// Not synchronised: one thread at a time (the facade holds its call lock).
class VFrameQueries {
 public:
  // `answerable`, when given, is asked on every query whether the record may
  // be answered from at all (the facade: whether it is still connected).
  explicit VFrameQueries(std::function<bool()> answerable = nullptr);
  VFrameQueries(const VFrameQueries&) = delete;
  VFrameQueries& operator=(const VFrameQueries&) = delete;

  // The record every query answers from; frame number -1 until one is given.
  const VFrameRecord& Record() const { return Current; }
  // Calls change(record) on the held record, which it may exchange or
  // modify; when it returns true the record changed and every index over it
  // is built again when next needed. Returns what change returned.
  template <class Change>
  bool Update(Change change) {
    if (!change(Current)) return false;
    Lookups.Forget();
    return true;
  }
  // Exchanges `record` into the one held; `record` receives the old one.
  void Exchange(VFrameRecord& record);

  bool GetFrameNumber(int32_t& frameNumber);
  bool GetSubjectCount(int32_t& count);
  bool GetSubjectName(uint32_t subjectIndex, std::string& name);
  bool GetSegmentCount(const std::string& subjectName, int32_t& count);
  bool GetMarkerCount(const std::string& subjectName, int32_t& count);
  bool GetSegmentName(const std::string& subjectName, uint32_t segmentIndex, std::string& name);
  bool GetMarkerName(const std::string& subjectName, uint32_t markerIndex, std::string& name);
  bool GetGlobalMarkerTranslation(const std::string& subjectName, const std::string& markerName,
                                  std::array<double, 3>& translation, bool& occluded);
  bool GetGlobalSegmentTranslation(const std::string& subjectName, const std::string& segmentName,
                                   std::array<double, 3>& translation, bool& occluded);
  bool GetGlobalSegmentRotationHelical(const std::string& subjectName, const std::string& segmentName,
                                       std::array<double, 3>& helical, bool& occluded);
  bool GetGlobalSegmentRotationQuaternion(const std::string& subjectName, const std::string& segmentName,
                                          std::array<double, 4>& quaternion, bool& occluded);
  bool GetForcePlateCount(int32_t& count);
  bool GetForcePlateID(uint32_t plateIndex, int32_t& deviceID);
  bool GetForceVector(int32_t deviceID, std::array<double, 3>& force);
  bool GetMomentVector(int32_t deviceID, std::array<double, 3>& moment);
  bool GetCentreOfPressure(int32_t deviceID, std::array<double, 3>& centre);
  bool GetNumberOfAnalogChannels(int32_t deviceID, int32_t& count);
  bool GetAnalogChannelVoltage(int32_t deviceID, uint32_t channel, double& voltage);

  // Every sample of the entry the first-sample queries read (not exported:
  // for tools that take the full rate). GetPlateSamples: the force (moment,
  // centre of pressure) vector at each sample, in the output axes; false
  // with `samples` empty where GetForceVector (...) fails.
  // GetAnalogSamples: the `count` samples of channel `channel` (1-based),
  // from `samples`, which points into the record and stays valid until it
  // changes; false with count 0 where GetAnalogChannelVoltage fails.
  bool GetPlateSamples(int32_t deviceID, VFrameLookups::EPlateData list, std::vector<std::array<float, 3>>& samples);
  bool GetAnalogSamples(int32_t deviceID, uint32_t channel, const float*& samples, std::size_t& count);

  // Output conventions for translations and force-plate vectors (the
  // queries return rotations in the server's axes): right-handed and Z-up
  // until changed.
  void SetLeftHandRule() { RightHanded = false; }
  void SetRightHandRule() { RightHanded = true; }
  void SetYUp() { ZUp = false; }
  void SetZUp() { ZUp = true; }
  // A vector in the server's axes in the chosen convention.
  std::array<double, 3> ToOutputAxes(const std::array<double, 3>& v) const;
  // A rotation quaternion (x, y, z, w) in the server's axes in the chosen
  // convention, so that it turns vectors converted by ToOutputAxes: the
  // rotation R becomes A R A^T for the axis matrix A, whose quaternion is
  // (det(A) A v, w) (det A = -1 for the left-handed flip). Used by tools
  // that convert whole poses; the pose queries do not call it.
  std::array<double, 4> RotationToOutputAxes(const std::array<double, 4>& quaternion) const;

  // Whether a device output is one of a force plate's three vector outputs
  // (its components named Fx Fy Fz, Mx My Mz or Cx Cy Cz).
  static bool IsForcePlateOutput(const LumoraQSStream::VDeviceOutputInfo& output);

 private:
  // A frame is held and may be answered from.
  bool HasFrame();
  bool CountOf(const std::string& subjectName, VFrameLookups::EItems items, int32_t& count);
  bool NameOf(const std::string& subjectName, VFrameLookups::EItems items, uint32_t index, std::string& name);
  bool FindIDs(const std::string& subjectName, const std::string& itemName, VFrameLookups::EItems items,
               int32_t& subjectID, int32_t& itemID);
  // The shape of the three segment pose queries: `out` zeroed and
  // `occluded` false, false without a frame or for unknown names, occluded
  // when the frame holds no pose for the segment, otherwise `out` is
  // convert(pose).
  template <std::size_t N, class Convert>
  bool SegmentPoseQuery(const std::string& subjectName, const std::string& segmentName,
                        std::array<double, N>& out, bool& occluded, Convert convert);
  bool GetPlateVector(int32_t deviceID, VFrameLookups::EPlateData list, std::array<double, 3>& out);
  // The plate's entry in `list` and its samples per component, or nullptr.
  const LumoraQSStream::VDeviceOutputData* PlateEntry(int32_t deviceID, VFrameLookups::EPlateData list,
                                                      std::size_t& perComponent);
  // The voltage entry of the plate's analog output and its channel count,
  // or nullptr for a channel it does not have.
  const LumoraQSStream::VDeviceOutputData* AnalogEntry(int32_t deviceID, uint32_t channel, std::size_t& channels);

  const std::function<bool()> Answerable;
  VFrameRecord Current;
  // Indexes over Current for the queries; forgotten whenever it changes.
  VFrameLookups Lookups;
  bool RightHanded = true;
  bool ZUp = true;
};
