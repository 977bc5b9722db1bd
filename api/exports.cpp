// The exported C functions: thin shims that convert C arguments, forward to
// the one process-wide facade and convert its results back. Nothing thrown
// inside may cross the C boundary: every body catches everything and then
// answers like a failed call (false and neutral outputs).
#include <array>
#include <cstddef>
#include <memory>
#include <string>

#include "QS.h"
#include "api/name_buffers.h"
#include "api/simple_client.h"
#include "client/qs_client.h"

namespace {

// Constructed when the library is loaded, destroyed when it is unloaded.
VSimpleQSClient SimpleClient;

// The name getters' buffers, one set per calling thread.
QSApi::VThreadNameBuffers NameBuffers;

std::string ToString(const char* text) { return text ? std::string(text) : std::string(); }

QSBool ToQSBool(bool value) { return value ? 1 : 0; }

template <std::size_t N>
void CopyOut(const std::array<double, N>& values, double* out) {
  if (!out) return;
  for (std::size_t i = 0; i < N; ++i) out[i] = values[i];
}

template <class T>
void CopyOut(const T& value, T* out) {
  if (out) *out = value;
}

// The four pose exports share one shape: a local flag as the facade's
// occluded output, written to the caller's integer as 0 or 1 whatever the
// result.
template <std::size_t N, class Query>
QSBool PoseExport(Query query, double* values, int32_t* occluded) {
  std::array<double, N> result{};
  bool flag = false;
  bool ok = false;
  try {
    ok = query(result, flag);
  } catch (...) {
    ok = false;
    result = {};
    flag = false;
  }
  CopyOut(result, values);
  CopyOut<int32_t>(flag ? 1 : 0, occluded);
  return ToQSBool(ok);
}

// The value exports (counts, ids, frame numbers, vectors, voltages) share
// one shape: the facade's output in a local value, written to the caller's
// pointer, when there is one, whatever the result; an exception gives false
// and a zero value.
template <class Value, class Query, class Out>
QSBool ValueExport(Query query, Out* out) {
  Value value{};
  bool ok = false;
  try {
    ok = query(value);
  } catch (...) {
    ok = false;
    value = Value{};
  }
  CopyOut(value, out);
  return ToQSBool(ok);
}

template <class Query>
QSBool BoolExport(Query query) {
  try {
    return ToQSBool(query());
  } catch (...) {
    return 0;
  }
}

// The void exports: whatever is thrown stays here; the call then changes
// nothing the caller can see.
template <class Call>
void VoidExport(Call call) {
  try {
    call();
  } catch (...) {
  }
}

// The name getters write into the calling thread's buffer for that getter
// and return its text; a thread whose buffers cannot be made gets "".
template <class Query>
const char* NameExport(Query query, std::string QSApi::VNameBuffers::*getter) {
  std::string* buffer = nullptr;
  try {
    buffer = &(NameBuffers.ForThisThread().*getter);
    query(*buffer);
  } catch (...) {
    if (!buffer) return "";
    buffer->clear();
  }
  return buffer->c_str();
}

}  // namespace

extern "C" {

QS_API QSBool QS_CALL Connect(const char* HostName) {
  return BoolExport([&] {
    const std::string host = ToString(HostName);
    std::shared_ptr<IQSClient> client = MakeSharedFrameClient(CreateFrameClient());
    // Our reference goes on return: a client the facade refused is
    // destroyed at once.
    return SimpleClient.Connect(std::move(client), host);
  });
}

QS_API QSBool QS_CALL Disconnect(void) {
  return BoolExport([] { return SimpleClient.Disconnect(); });
}

QS_API QSBool QS_CALL IsConnected(void) {
  return BoolExport([] { return SimpleClient.IsConnected(); });
}

QS_API QSBool QS_CALL GetFrame(void) {
  return BoolExport([] { return SimpleClient.GetFrame(); });
}

QS_API QSBool QS_CALL GetFrameNumber(int32_t* FrameNumber) {
  return ValueExport<int32_t>([](int32_t& n) { return SimpleClient.GetFrameNumber(n); }, FrameNumber);
}

QS_API QSBool QS_CALL EnableSegmentData(void) {
  return BoolExport([] { return SimpleClient.EnableSegmentData(); });
}

QS_API QSBool QS_CALL EnableMarkerData(void) {
  return BoolExport([] { return SimpleClient.EnableMarkerData(); });
}

QS_API QSBool QS_CALL EnableForcePlateData(void) {
  return BoolExport([] { return SimpleClient.EnableForcePlateData(); });
}

QS_API QSBool QS_CALL GetSubjectCount(int32_t* SubjectCount) {
  return ValueExport<int32_t>([](int32_t& n) { return SimpleClient.GetSubjectCount(n); }, SubjectCount);
}

QS_API const char* QS_CALL GetSubjectName(int32_t SubjectIndex) {
  return NameExport(
      [&](std::string& name) {
        SimpleClient.GetSubjectName(static_cast<uint32_t>(SubjectIndex), name);
      },
      &QSApi::VNameBuffers::Subject);
}

QS_API QSBool QS_CALL GetSegmentCount(const char* SubjectName, int32_t* SegmentCount) {
  return ValueExport<int32_t>(
      [&](int32_t& n) { return SimpleClient.GetSegmentCount(ToString(SubjectName), n); },
      SegmentCount);
}

QS_API const char* QS_CALL GetSegmentName(const char* SubjectName, int32_t SegmentIndex) {
  return NameExport(
      [&](std::string& name) {
        SimpleClient.GetSegmentName(ToString(SubjectName), static_cast<uint32_t>(SegmentIndex),
                                    name);
      },
      &QSApi::VNameBuffers::Segment);
}

QS_API QSBool QS_CALL GetMarkerCount(const char* SubjectName, int32_t* MarkerCount) {
  return ValueExport<int32_t>(
      [&](int32_t& n) { return SimpleClient.GetMarkerCount(ToString(SubjectName), n); },
      MarkerCount);
}

QS_API const char* QS_CALL GetMarkerName(const char* SubjectName, int32_t MarkerIndex) {
  return NameExport(
      [&](std::string& name) {
        SimpleClient.GetMarkerName(ToString(SubjectName), static_cast<uint32_t>(MarkerIndex),
                                   name);
      },
      &QSApi::VNameBuffers::Marker);
}

QS_API QSBool QS_CALL GetGlobalSegmentTranslation(const char* SubjectName,
                                                  const char* SegmentName,
                                                  double Translation[3], int32_t* Occluded) {
  return PoseExport<3>(
      [&](std::array<double, 3>& out, bool& occluded) {
        return SimpleClient.GetGlobalSegmentTranslation(ToString(SubjectName),
                                                        ToString(SegmentName), out, occluded);
      },
      Translation, Occluded);
}

QS_API QSBool QS_CALL GetGlobalSegmentRotationHelical(const char* SubjectName,
                                                      const char* SegmentName,
                                                      double Helical[3], int32_t* Occluded) {
  return PoseExport<3>(
      [&](std::array<double, 3>& out, bool& occluded) {
        return SimpleClient.GetGlobalSegmentRotationHelical(ToString(SubjectName),
                                                            ToString(SegmentName), out, occluded);
      },
      Helical, Occluded);
}

QS_API QSBool QS_CALL GetGlobalSegmentRotationQuaternion(const char* SubjectName,
                                                         const char* SegmentName,
                                                         double Quaternion[4],
                                                         int32_t* Occluded) {
  return PoseExport<4>(
      [&](std::array<double, 4>& out, bool& occluded) {
        return SimpleClient.GetGlobalSegmentRotationQuaternion(
            ToString(SubjectName), ToString(SegmentName), out, occluded);
      },
      Quaternion, Occluded);
}

QS_API QSBool QS_CALL GetGlobalMarkerTranslation(const char* SubjectName,
                                                 const char* MarkerName, double Translation[3],
                                                 int32_t* Occluded) {
  return PoseExport<3>(
      [&](std::array<double, 3>& out, bool& occluded) {
        return SimpleClient.GetGlobalMarkerTranslation(ToString(SubjectName),
                                                       ToString(MarkerName), out, occluded);
      },
      Translation, Occluded);
}

QS_API QSBool QS_CALL GetForcePlateCount(int32_t* Count) {
  return ValueExport<int32_t>([](int32_t& n) { return SimpleClient.GetForcePlateCount(n); }, Count);
}

QS_API QSBool QS_CALL GetForcePlateID(int32_t PlateIndex, int32_t* DeviceID) {
  return ValueExport<int32_t>(
      [&](int32_t& id) {
        return SimpleClient.GetForcePlateID(static_cast<uint32_t>(PlateIndex), id);
      },
      DeviceID);
}

QS_API QSBool QS_CALL GetForceVector(int32_t DeviceID, double Force[3]) {
  return ValueExport<std::array<double, 3>>(
      [&](std::array<double, 3>& v) { return SimpleClient.GetForceVector(DeviceID, v); }, Force);
}

QS_API QSBool QS_CALL GetMomentVector(int32_t DeviceID, double Moment[3]) {
  return ValueExport<std::array<double, 3>>(
      [&](std::array<double, 3>& v) { return SimpleClient.GetMomentVector(DeviceID, v); },
      Moment);
}

QS_API QSBool QS_CALL GetCentreOfPressure(int32_t DeviceID, double Centre[3]) {
  return ValueExport<std::array<double, 3>>(
      [&](std::array<double, 3>& v) { return SimpleClient.GetCentreOfPressure(DeviceID, v); },
      Centre);
}

QS_API QSBool QS_CALL GetNumberOfAnalogChannels(int32_t DeviceID, int32_t* Count) {
  return ValueExport<int32_t>(
      [&](int32_t& n) { return SimpleClient.GetNumberOfAnalogChannels(DeviceID, n); }, Count);
}

QS_API QSBool QS_CALL GetAnalogChannelVoltage(int32_t DeviceID, int32_t Channel,
                                              double* Voltage) {
  return ValueExport<double>(
      [&](double& v) { return SimpleClient.GetAnalogChannelVoltage(DeviceID, static_cast<uint32_t>(Channel), v); },
      Voltage);
}

// A prefetch thread that cannot be started leaves GetFrame on its direct
// path; the four setters can fail only in taking the facade's call lock,
// and the setting is then left as it was.
QS_API void QS_CALL SetPreFetchMode(QSBool Enable) {
  VoidExport([Enable] { SimpleClient.SetPreFetchMode(Enable != 0); });
}

QS_API void QS_CALL SetLeftHandRule(void) {
  VoidExport([] { SimpleClient.SetLeftHandRule(); });
}

QS_API void QS_CALL SetRightHandRule(void) {
  VoidExport([] { SimpleClient.SetRightHandRule(); });
}

QS_API void QS_CALL SetYUp(void) {
  VoidExport([] { SimpleClient.SetYUp(); });
}

QS_API void QS_CALL SetZUp(void) {
  VoidExport([] { SimpleClient.SetZUp(); });
}

}  // extern "C"
