/*
 * qs_smoke - end-to-end check of QS.dll as a Windows host uses it: loads the
 * DLL, resolves the 30 exports by name, connects to a qs-sim capture server
 * (its demo scene: subjects "Walker" with 15 segments and 41 markers and
 * "Wand", two force plates with 8 analog channels each), fetches frames and
 * reads names, poses and force plate data, then disconnects and unloads.
 *
 * Usage: qs_smoke [DLL path [host]]   (defaults: QS.dll, 127.0.0.1)
 * Exit status 0 when every check passed; every failed check is printed.
 */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "qs_host.h"

static int Checks = 0;
static int Failures = 0;

static void Check(int condition, const char* what) {
  ++Checks;
  if (!condition) {
    ++Failures;
    printf("FAILED: %s\n", what);
  }
}

static int Finite3(const double* v) { return isfinite(v[0]) && isfinite(v[1]) && isfinite(v[2]); }

static int Near(double a, double b, double tolerance) { return fabs(a - b) <= tolerance; }

/* Waits (GetFrame in a loop, up to 10 s) until the frame carries what the
 * enabled data kinds ask for: the pelvis pose and the first plate's force. */
static int WaitForFullFrame(QSLibrary* qs) {
  int attempt;
  for (attempt = 0; attempt < 1000; ++attempt) {
    double t[3];
    int32_t occluded = 1;
    int32_t plates = 0;
    int32_t id = 0;
    double force[3];
    if (qs->GetFrame() && qs->GetGlobalSegmentTranslation("Walker", "Pelvis", t, &occluded) &&
        occluded == 0 && qs->GetForcePlateCount(&plates) && plates > 0 &&
        qs->GetForcePlateID(1, &id) && qs->GetForceVector(id, force)) {
      return 1;
    }
    Sleep(10);
  }
  return 0;
}

static void CheckNames(QSLibrary* qs) {
  int32_t count = -1;
  Check(qs->GetSubjectCount(&count) && count == 2, "two subjects");
  Check(strcmp(qs->GetSubjectName(1), "Walker") == 0, "subject 1 is Walker");
  Check(strcmp(qs->GetSubjectName(2), "Wand") == 0, "subject 2 is Wand");
  Check(strcmp(qs->GetSubjectName(0), "") == 0, "subject index 0 gives \"\"");
  Check(strcmp(qs->GetSubjectName(3), "") == 0, "subject index past the last gives \"\"");
  Check(qs->GetSegmentCount("Walker", &count) && count == 15, "Walker has 15 segments");
  Check(qs->GetMarkerCount("Walker", &count) && count == 41, "Walker has 41 markers");
  Check(strcmp(qs->GetSegmentName("Walker", 1), "Pelvis") == 0, "segment 1 is Pelvis");
  Check(strcmp(qs->GetMarkerName("Walker", 1), "LeftFrontPelvis") == 0,
        "marker 1 is LeftFrontPelvis");
  Check(!qs->GetSegmentCount("Nobody", &count) && count == 0, "unknown subject fails with 0");
}

static void CheckPoses(QSLibrary* qs) {
  double t[3], lz[3], yz[3], h[3], q[4], m[3];
  int32_t occluded = 7;
  double norm, angle;

  Check(qs->GetGlobalSegmentTranslation("Walker", "Pelvis", t, &occluded) && occluded == 0 &&
            Finite3(t) && t[2] > 0.0,
        "pelvis translation, above the floor");
  Check(qs->GetGlobalSegmentRotationQuaternion("Walker", "Pelvis", q, &occluded) && occluded == 0,
        "pelvis quaternion");
  norm = sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  Check(Near(norm, 1.0, 1e-6), "pelvis quaternion has unit length");
  Check(qs->GetGlobalSegmentRotationHelical("Walker", "Pelvis", h, &occluded) && occluded == 0 &&
            Finite3(h),
        "pelvis helical rotation");
  angle = sqrt(h[0] * h[0] + h[1] * h[1] + h[2] * h[2]);
  Check(angle >= 0.0 && angle <= 2.0 * 3.14159265358979323846 + 1e-9, "helical angle in 0..2 pi");
  /* The quaternion and the helical vector describe one rotation: the
   * quaternion's scalar part is cos(angle / 2), up to its sign. */
  Check(Near(fabs(q[3]), fabs(cos(angle / 2.0)), 1e-6), "quaternion and helical angle agree");

  /* Axis conventions, on the same frame (no GetFrame in between). */
  qs->SetLeftHandRule();
  Check(qs->GetGlobalSegmentTranslation("Walker", "Pelvis", lz, &occluded), "left-handed query");
  Check(lz[0] == -t[0] && lz[1] == t[1] && lz[2] == t[2], "left-handed: x negated");
  qs->SetRightHandRule();
  qs->SetYUp();
  Check(qs->GetGlobalSegmentTranslation("Walker", "Pelvis", yz, &occluded), "Y-up query");
  Check(yz[0] == t[0] && yz[1] == t[2] && yz[2] == -t[1], "Y-up: (x, z, -y)");
  qs->SetZUp();

  Check(qs->GetGlobalMarkerTranslation("Walker", "Sternum", m, &occluded) && Finite3(m),
        "marker translation");
  Check(occluded == 0 || occluded == 1, "occluded flag is 0 or 1");
  Check(!qs->GetGlobalMarkerTranslation("Walker", "NoSuchMarker", m, &occluded) && occluded == 0 &&
            m[0] == 0.0 && m[1] == 0.0 && m[2] == 0.0,
        "unknown marker fails with neutral outputs");
}

static void CheckForcePlates(QSLibrary* qs) {
  int32_t plates = 0, ids[2] = {0, 0}, channels = 0, plate;
  Check(qs->GetForcePlateCount(&plates) && plates == 2, "two force plates");
  Check(qs->GetForcePlateID(1, &ids[0]) && qs->GetForcePlateID(2, &ids[1]) && ids[0] != ids[1],
        "two distinct plate ids");
  Check(!qs->GetForcePlateID(3, &plate) && plate == 0, "plate index past the last fails");
  for (plate = 0; plate < 2; ++plate) {
    double force[3], moment[3], centre[3], v[9];
    int32_t ch;
    int all = 1;
    Check(qs->GetForceVector(ids[plate], force) && Finite3(force), "force vector");
    Check(qs->GetMomentVector(ids[plate], moment) && Finite3(moment), "moment vector");
    Check(qs->GetCentreOfPressure(ids[plate], centre) && Finite3(centre), "centre of pressure");
    Check(qs->GetNumberOfAnalogChannels(ids[plate], &channels) && channels == 8, "8 analog channels");
    for (ch = 1; ch <= 8; ++ch) all = all && qs->GetAnalogChannelVoltage(ids[plate], ch, &v[ch]);
    Check(all, "voltages of channels 1 to 8");
    Check(!qs->GetAnalogChannelVoltage(ids[plate], 9, &v[0]) && v[0] == 0.0, "channel 9 fails with 0.0");
    /* The simulated plate's sensors carry 0.005 V per newton: channels 1+2
     * add up to Fx, 3+4 to Fy, 5 to 8 to Fz (all of the first sample). */
    Check(Near(v[1] + v[2], 0.005 * force[0], 1e-3 + 1e-4 * fabs(force[0])), "channels 1+2 give Fx");
    Check(Near(v[3] + v[4], 0.005 * force[1], 1e-3 + 1e-4 * fabs(force[1])), "channels 3+4 give Fy");
    Check(Near(v[5] + v[6] + v[7] + v[8], 0.005 * force[2], 1e-3 + 1e-4 * fabs(force[2])),
          "channels 5 to 8 give Fz");
  }
}

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "QS.dll";
  const char* host = argc > 2 ? argv[2] : "127.0.0.1";
  QSLibrary qs;
  int32_t first = 0, later = 0;
  int attempt;

  if (!QSLoadLibrary(path, &qs)) return 1;
  Check(!qs.IsConnected(), "not connected after loading");
  Check(!qs.Connect(NULL) && !qs.Connect(""), "Connect refuses an empty host name");
  if (!QSConnectWithin(&qs, host, 10)) {
    printf("FAILED: could not connect to %s:801 within 10 s\n", host);
    return 1;
  }
  Check(qs.IsConnected(), "connected");
  Check(!qs.Connect(host), "a second Connect is refused");
  Check(qs.EnableSegmentData() && qs.EnableMarkerData() && qs.EnableForcePlateData(),
        "data kinds enabled");
  if (!WaitForFullFrame(&qs)) {
    printf("FAILED: no frame with poses and force plate data within 10 s\n");
    return 1;
  }

  Check(qs.GetFrameNumber(&first), "frame number");
  CheckNames(&qs);
  CheckPoses(&qs);
  CheckForcePlates(&qs);

  for (attempt = 0; attempt < 500 && later <= first; ++attempt) {
    Sleep(10);
    qs.GetFrame();
    qs.GetFrameNumber(&later);
  }
  Check(later > first, "frame numbers advance");

  /* Prefetching: a library thread takes the frames; GetFrame copies them. */
  qs.SetPreFetchMode(1);
  first = later;
  for (attempt = 0; attempt < 500 && later <= first; ++attempt) {
    Sleep(10);
    qs.GetFrame();
    qs.GetFrameNumber(&later);
  }
  Check(later > first, "frame numbers advance while prefetching");

  Check(qs.Disconnect() == 1, "Disconnect");
  Check(!qs.IsConnected() && !qs.GetFrame(), "not connected after Disconnect");
  Check(qs.Disconnect() == 0, "a second Disconnect returns 0");
  Check(FreeLibrary(qs.Module) != 0, "FreeLibrary");

  printf("qs_smoke: %d checks, %d failed\n", Checks, Failures);
  return Failures == 0 ? 0 : 1;
}
