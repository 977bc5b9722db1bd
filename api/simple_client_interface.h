// ISimpleQSClient: the operations behind the exported functions, in the
// order of the interface's virtual slots.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

class IQSClient;

// Every query writes its neutral output (0, 0.0, zero vector, "") before any
// check and returns false with it on failure. Indexes are 1-based and
// compared as unsigned numbers; names are compared exactly.
class ISimpleQSClient {
 public:
  // 0: keeps `client` only when it connects to `host` (port 801).
  virtual bool Connect(std::shared_ptr<IQSClient> client, const std::string& host) = 0;
  // 1
  virtual bool Disconnect() = 0;
  // 2
  virtual bool IsConnected() = 0;
  // 3
  virtual void SetPreFetchMode(bool enable) = 0;
  // 4
  virtual bool GetFrame() = 0;
  // 5
  virtual bool GetFrameNumber(int32_t& frameNumber) = 0;
  // 6
  virtual bool GetSubjectCount(int32_t& count) = 0;
  // 7
  virtual bool GetSubjectName(uint32_t subjectIndex, std::string& name) = 0;
  // 8
  virtual bool EnableSegmentData() = 0;
  // 9
  virtual bool EnableMarkerData() = 0;
  // 10
  virtual bool EnableForcePlateData() = 0;
  // 11
  virtual bool GetSegmentCount(const std::string& subjectName, int32_t& count) = 0;
  // 12
  virtual bool GetMarkerCount(const std::string& subjectName, int32_t& count) = 0;
  // 13
  virtual bool GetSegmentName(const std::string& subjectName, uint32_t segmentIndex,
                              std::string& name) = 0;
  // 14
  virtual bool GetMarkerName(const std::string& subjectName, uint32_t markerIndex,
                             std::string& name) = 0;
  // 15
  virtual bool GetGlobalMarkerTranslation(const std::string& subjectName,
                                          const std::string& markerName,
                                          std::array<double, 3>& translation,
                                          bool& occluded) = 0;
  // 16
  virtual bool GetGlobalSegmentTranslation(const std::string& subjectName,
                                           const std::string& segmentName,
                                           std::array<double, 3>& translation,
                                           bool& occluded) = 0;
  // 17
  virtual bool GetGlobalSegmentRotationHelical(const std::string& subjectName,
                                               const std::string& segmentName,
                                               std::array<double, 3>& helical,
                                               bool& occluded) = 0;
  // 18
  virtual bool GetGlobalSegmentRotationQuaternion(const std::string& subjectName,
                                                  const std::string& segmentName,
                                                  std::array<double, 4>& quaternion,
                                                  bool& occluded) = 0;
  // 19
  virtual bool GetForcePlateCount(int32_t& count) = 0;
  // 20
  virtual bool GetForcePlateID(uint32_t plateIndex, int32_t& deviceID) = 0;
  // 21
  virtual bool GetForceVector(int32_t deviceID, std::array<double, 3>& force) = 0;
  // 22
  virtual bool GetMomentVector(int32_t deviceID, std::array<double, 3>& moment) = 0;
  // 23
  virtual bool GetCentreOfPressure(int32_t deviceID, std::array<double, 3>& centre) = 0;
  // 24
  virtual bool GetNumberOfAnalogChannels(int32_t deviceID, int32_t& count) = 0;
  // 25
  virtual bool GetAnalogChannelVoltage(int32_t deviceID, uint32_t channel, double& voltage) = 0;
  // 26
  virtual void SetLeftHandRule() = 0;
  // 27
  virtual void SetRightHandRule() = 0;
  // 28
  virtual void SetYUp() = 0;
  // 29
  virtual void SetZUp() = 0;
  // 30
  virtual ~ISimpleQSClient() {}
};
