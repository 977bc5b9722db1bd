/*
 * qs_liveness_test - the bounds on a connection as a Windows host sees them
 * through QS.dll, with a packet filter around it (wine-run.sh drops the
 * packets). One scenario per run:
 *
 *   blackhole ADDR  every SYN to ADDR is dropped: Connect gives up and
 *                   returns 0 after the connect bound, not after the
 *                   system's minutes of SYN retries.
 *   vanish HOST     connected to a capture server whose packets are dropped
 *                   after a while: the connection is reported lost
 *                   (IsConnected and GetFrame return 0) within the bound
 *                   counted from the last new frame the host saw.
 *
 * Usage: qs_liveness_test SCENARIO ADDRESS [DLL path]
 * Exit status 0 when every check passed; every failed check is printed with
 * the times measured.
 */
#include <stdio.h>
#include <string.h>

#include "qs_host.h"

/* Connect gives up on one address after 5 s; what Wine and a loaded
 * machine add on top is allowed for. */
#define CONNECT_BOUND_SECONDS 15.0
/* A vanished peer is reported within 10 s; the same allowance. */
#define LOSS_BOUND_SECONDS 20.0
/* No scenario waits longer than this for anything. */
#define GIVE_UP_SECONDS 90.0
/* Frames the host must have seen change before the cut counts. */
#define FRAMES_BEFORE_CUT 100

static int Failures = 0;

static void Check(int condition, const char* what) {
  if (!condition) {
    ++Failures;
    printf("FAILED: %s\n", what);
  }
}

static double Now(void) {
  static LARGE_INTEGER frequency;
  LARGE_INTEGER count;
  if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&count);
  return (double)count.QuadPart / (double)frequency.QuadPart;
}

static void Blackhole(QSLibrary* qs, const char* address) {
  double start = Now(), took;
  QSBool connected = qs->Connect(address);
  took = Now() - start;
  printf("Connect(%s) returned %d after %.1f s\n", address, (int)connected, took);
  Check(!connected, "Connect to a black-holed address returns 0");
  /* Less than the bound means the SYNs were really dropped: a refused
   * connect would return at once. */
  Check(took >= 4.0, "Connect waited for the connect bound (the SYNs were dropped)");
  Check(took < CONNECT_BOUND_SECONDS, "Connect returned within the bound");
  Check(!qs->IsConnected() && !qs->GetFrame(), "not connected afterwards");
}

static void Vanish(QSLibrary* qs, const char* host) {
  int32_t frame = -1, seen = -1;
  int changes = 0;
  double start, last_change, lost = 0.0;
  if (!QSConnectWithin(qs, host, 10)) {
    printf("FAILED: could not connect to %s:801 within 10 s\n", host);
    ++Failures;
    return;
  }
  start = last_change = Now();
  while (Now() - start < GIVE_UP_SECONDS) {
    if (!qs->IsConnected() || !qs->GetFrame()) {
      lost = Now();
      break;
    }
    if (qs->GetFrameNumber(&frame) && frame != seen) {
      seen = frame;
      last_change = Now();
      ++changes;
    }
    Sleep(5);
  }
  printf("%d frames seen; ", changes);
  if (lost == 0.0) {
    printf("still connected %.1f s after the last new frame\n", Now() - last_change);
    Check(0, "the lost peer is reported");
    return;
  }
  printf("lost %.1f s after the last new frame\n", lost - last_change);
  Check(changes >= FRAMES_BEFORE_CUT, "frames arrived before the peer vanished");
  Check(lost - last_change < LOSS_BOUND_SECONDS, "the lost peer is reported within the bound");
  Check(!qs->IsConnected() && !qs->GetFrame(), "IsConnected and GetFrame return 0 once lost");
  Check(qs->Disconnect() == 0, "Disconnect after the loss returns 0");
}

int main(int argc, char** argv) {
  QSLibrary qs;
  if (argc < 3) {
    printf("usage: qs_liveness_test blackhole|vanish ADDRESS [DLL path]\n");
    return 2;
  }
  if (!QSLoadLibrary(argc > 3 ? argv[3] : "QS.dll", &qs)) return 1;
  if (strcmp(argv[1], "blackhole") == 0) {
    Blackhole(&qs, argv[2]);
  } else if (strcmp(argv[1], "vanish") == 0) {
    Vanish(&qs, argv[2]);
  } else {
    printf("unknown scenario %s\n", argv[1]);
    return 2;
  }
  printf("qs_liveness_test %s: %s\n", argv[1], Failures == 0 ? "passed" : "FAILED");
  return Failures == 0 ? 0 : 1;
}
