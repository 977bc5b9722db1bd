/* Connects to a capture server, takes a few frames and prints the first
 * segment of the first subject and the vertical force of each force plate.
 *
 *   qs_example [HOST [FRAMES]]      (defaults: 127.0.0.1, 5)
 *
 * Exit status: 0 after FRAMES frames, 1 when the server cannot be reached,
 * the connection is lost or no frame arrives within two seconds. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "QS.h"

static void sleep_ms(long ms) {
  struct timespec t;
  t.tv_sec = ms / 1000;
  t.tv_nsec = (ms % 1000) * 1000000L;
  nanosleep(&t, NULL);
}

/* Takes frames until one with a number other than *last arrives; 0 when the
 * connection ends or two seconds pass first. */
static int next_frame(int32_t* last, int have_last) {
  int waited = 0;
  for (; waited < 2000; ++waited) {
    int32_t number = 0;
    if (!GetFrame()) return 0;
    if (GetFrameNumber(&number) && (!have_last || number != *last)) {
      *last = number;
      return 1;
    }
    sleep_ms(1);
  }
  return 0;
}

int main(int argc, char** argv) {
  const char* host = argc > 1 ? argv[1] : "127.0.0.1";
  const int frames = argc > 2 ? atoi(argv[2]) : 5;
  int32_t number = 0;
  int have = 0;
  int i;

  if (!Connect(host)) {
    fprintf(stderr, "qs_example: cannot connect to %s:801\n", host);
    return 1;
  }
  EnableSegmentData();
  EnableForcePlateData();

  for (i = 0; i < frames; ++i) {
    char subject[256] = "";
    char segment[256] = "";
    double position[3];
    int32_t occluded = 0;
    int32_t plates = 0;
    int32_t p;

    if (!next_frame(&number, have)) {
      fprintf(stderr, "qs_example: %s\n", IsConnected() ? "no frame within 2 s" : "connection lost");
      Disconnect();
      return 1;
    }
    have = 1;
    /* The name buffers belong to the library: copy before the next call. */
    strncpy(subject, GetSubjectName(1), sizeof subject - 1);
    strncpy(segment, GetSegmentName(subject, 1), sizeof segment - 1);
    printf("frame %d", (int)number);
    if (GetGlobalSegmentTranslation(subject, segment, position, &occluded) && !occluded) {
      printf("  %s/%s %.1f %.1f %.1f", subject, segment, position[0], position[1], position[2]);
    }
    GetForcePlateCount(&plates);
    for (p = 1; p <= plates; ++p) {
      int32_t id = 0;
      double force[3];
      if (GetForcePlateID(p, &id) && GetForceVector(id, force)) printf("  plate %d Fz %.1f", (int)id, force[2]);
    }
    printf("\n");
  }
  Disconnect();
  return 0;
}
