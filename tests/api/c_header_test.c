/* Calls every exported function through QS.h from C, without a
 * connection, and checks the results and neutral outputs. Written in C89 so
 * that the header is known to compile as C89 and C99. Exit status 0 on
 * success; every failed check is printed. */
#include <stdio.h>
#include <string.h>

#include "QS.h"

static int failures = 0;

static void check(int condition, const char* what) {
  if (!condition) {
    ++failures;
    printf("FAILED: %s\n", what);
  }
}

static int zero3(const double* v) { return v[0] == 0.0 && v[1] == 0.0 && v[2] == 0.0; }

int main(void) {
  int32_t n = 99;
  int32_t occluded = 7;
  double v[3] = {7.0, 7.0, 7.0};
  double q[4] = {7.0, 7.0, 7.0, 7.0};
  double voltage = 7.0;
  const char* name = NULL;

  check(sizeof(QSBool) == 1, "QSBool is one byte");
  check(IsConnected() == 0, "IsConnected");
  check(Connect(NULL) == 0, "Connect(NULL)");
  check(Connect("") == 0, "Connect(\"\")");
  check(IsConnected() == 0, "IsConnected after refused Connect");
  check(Disconnect() == 0, "Disconnect");
  check(GetFrame() == 0, "GetFrame");
  check(GetFrameNumber(&n) == 0 && n == 0, "GetFrameNumber");
  check(EnableSegmentData() == 0, "EnableSegmentData");
  check(EnableMarkerData() == 0, "EnableMarkerData");
  check(EnableForcePlateData() == 0, "EnableForcePlateData");

  n = 99;
  check(GetSubjectCount(&n) == 0 && n == 0, "GetSubjectCount");
  name = GetSubjectName(1);
  check(name != NULL && strcmp(name, "") == 0, "GetSubjectName");
  n = 99;
  check(GetSegmentCount("Alice", &n) == 0 && n == 0, "GetSegmentCount");
  n = 99;
  check(GetSegmentCount(NULL, &n) == 0 && n == 0, "GetSegmentCount(NULL)");
  name = GetSegmentName("Alice", 1);
  check(name != NULL && strcmp(name, "") == 0, "GetSegmentName");
  n = 99;
  check(GetMarkerCount("Alice", &n) == 0 && n == 0, "GetMarkerCount");
  name = GetMarkerName(NULL, 1);
  check(name != NULL && strcmp(name, "") == 0, "GetMarkerName");

  check(GetGlobalSegmentTranslation("Alice", "Pelvis", v, &occluded) == 0 && zero3(v) &&
            occluded == 0,
        "GetGlobalSegmentTranslation");
  v[0] = 7.0;
  occluded = 7;
  check(GetGlobalSegmentRotationHelical("Alice", "Pelvis", v, &occluded) == 0 && zero3(v) &&
            occluded == 0,
        "GetGlobalSegmentRotationHelical");
  occluded = 7;
  check(GetGlobalSegmentRotationQuaternion("Alice", "Pelvis", q, &occluded) == 0 &&
            zero3(q) && q[3] == 0.0 && occluded == 0,
        "GetGlobalSegmentRotationQuaternion");
  v[1] = 7.0;
  occluded = 7;
  check(GetGlobalMarkerTranslation("Alice", "LASI", v, &occluded) == 0 && zero3(v) &&
            occluded == 0,
        "GetGlobalMarkerTranslation");

  n = 99;
  check(GetForcePlateCount(&n) == 0 && n == 0, "GetForcePlateCount");
  n = 99;
  check(GetForcePlateID(1, &n) == 0 && n == 0, "GetForcePlateID");
  v[2] = 7.0;
  check(GetForceVector(1, v) == 0 && zero3(v), "GetForceVector");
  v[2] = 7.0;
  check(GetMomentVector(1, v) == 0 && zero3(v), "GetMomentVector");
  v[2] = 7.0;
  check(GetCentreOfPressure(1, v) == 0 && zero3(v), "GetCentreOfPressure");
  n = 99;
  check(GetNumberOfAnalogChannels(1, &n) == 0 && n == 0, "GetNumberOfAnalogChannels");
  check(GetAnalogChannelVoltage(1, 1, &voltage) == 0 && voltage == 0.0,
        "GetAnalogChannelVoltage");

  SetPreFetchMode(1);
  SetPreFetchMode(0);
  SetLeftHandRule();
  SetRightHandRule();
  SetYUp();
  SetZUp();
  check(IsConnected() == 0, "IsConnected at the end");

  if (failures == 0) printf("all exports answered as expected\n");
  return failures == 0 ? 0 : 1;
}
