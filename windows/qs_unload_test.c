/*
 * qs_unload_test - unloading QS.dll while its threads run must neither hang
 * nor crash. One scenario per run:
 *
 *   free-idle         never connected: FreeLibrary unloads the DLL.
 *   free-connected    connected, frames taken: FreeLibrary returns at once,
 *                     the DLL stays loaded and the connection with it, until
 *                     Disconnect.
 *   free-prefetch     as free-connected, with prefetching on.
 *   free-prefetch-idle prefetching on without a connection: FreeLibrary
 *                     returns; SetPreFetchMode(0) still stops the thread.
 *   exit-connected    the process ends (main returns) while connected.
 *   exit-prefetch     the process ends while connected and prefetching.
 *
 * Usage: qs_unload_test SCENARIO [DLL path [host]]
 * A watchdog thread ends the process with status 3 when FreeLibrary has not
 * returned within 20 s; the exit scenarios are bounded by the caller.
 * Exit status 0 when every check passed.
 */
#include <stdio.h>
#include <string.h>

#include "qs_host.h"

static int Failures = 0;

static void Check(int condition, const char* what) {
  if (!condition) {
    ++Failures;
    printf("FAILED: %s\n", what);
  }
}

static volatile LONG FreeLibraryReturned = 0;

static DWORD WINAPI Watchdog(LPVOID started) {
  int waited;
  SetEvent((HANDLE)started);
  for (waited = 0; waited < 200; ++waited) {
    if (FreeLibraryReturned) return 0;
    Sleep(100);
  }
  printf("FAILED: FreeLibrary did not return within 20 s\n");
  fflush(stdout);
  /* Not ExitProcess: that would wait for the loader lock the hung
   * FreeLibrary holds. */
  TerminateProcess(GetCurrentProcess(), 3);
  return 0;
}

static void FreeWithWatchdog(QSLibrary* qs) {
  /* The watchdog must be running before FreeLibrary takes the loader lock:
   * a thread that is still starting needs that lock itself. */
  HANDLE started = CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE watchdog = CreateThread(NULL, 0, Watchdog, started, 0, NULL);
  Check(watchdog != NULL && WaitForSingleObject(started, 10000) == WAIT_OBJECT_0,
        "watchdog thread running");
  Check(FreeLibrary(qs->Module) != 0, "FreeLibrary returns success");
  InterlockedExchange(&FreeLibraryReturned, 1);
  if (watchdog != NULL) {
    WaitForSingleObject(watchdog, INFINITE);
    CloseHandle(watchdog);
  }
  CloseHandle(started);
}

static int ConnectAndTakeFrame(QSLibrary* qs, const char* host) {
  if (!QSConnectWithin(qs, host, 10)) {
    printf("FAILED: could not connect to %s:801 within 10 s\n", host);
    return 0;
  }
  Check(qs->EnableSegmentData(), "EnableSegmentData");
  if (!QSWaitForFrame(qs, 10)) {
    printf("FAILED: no frame within 10 s\n");
    return 0;
  }
  return 1;
}

int main(int argc, char** argv) {
  const char* scenario = argc > 1 ? argv[1] : "";
  const char* path = argc > 2 ? argv[2] : "QS.dll";
  const char* host = argc > 3 ? argv[3] : "127.0.0.1";
  QSLibrary qs;

  if (!QSLoadLibrary(path, &qs)) return 1;

  if (strcmp(scenario, "free-idle") == 0) {
    Check(!qs.IsConnected(), "not connected");
    qs.SetLeftHandRule();
    FreeWithWatchdog(&qs);
    /* No thread was ever started: the DLL really goes. */
    Check(GetModuleHandleA("QS.dll") == NULL, "QS.dll unloaded");
  } else if (strcmp(scenario, "free-connected") == 0 || strcmp(scenario, "free-prefetch") == 0) {
    const int prefetch = strcmp(scenario, "free-prefetch") == 0;
    int32_t before = 0, after = 0;
    int attempt;
    if (!ConnectAndTakeFrame(&qs, host)) return 1;
    if (prefetch) qs.SetPreFetchMode(1);
    qs.GetFrameNumber(&before);
    FreeWithWatchdog(&qs);
    /* The module is pinned: its code, the facade and the connection are
     * still there, so the exports resolved before remain callable. */
    Check(GetModuleHandleA("QS.dll") == qs.Module, "QS.dll stays loaded while its threads may run");
    Check(qs.IsConnected(), "still connected after FreeLibrary");
    for (attempt = 0; attempt < 500 && after <= before; ++attempt) {
      Sleep(10);
      qs.GetFrame();
      qs.GetFrameNumber(&after);
    }
    Check(after > before, "frames still arrive after FreeLibrary");
    Check(qs.Disconnect() == 1, "Disconnect after FreeLibrary");
    Check(!qs.IsConnected(), "disconnected");
  } else if (strcmp(scenario, "free-prefetch-idle") == 0) {
    qs.SetPreFetchMode(1);
    FreeWithWatchdog(&qs);
    Check(GetModuleHandleA("QS.dll") == qs.Module, "QS.dll stays loaded while its thread runs");
    qs.SetPreFetchMode(0);
  } else if (strcmp(scenario, "exit-connected") == 0 || strcmp(scenario, "exit-prefetch") == 0) {
    if (!ConnectAndTakeFrame(&qs, host)) return 1;
    if (strcmp(scenario, "exit-prefetch") == 0) qs.SetPreFetchMode(1);
    Check(qs.IsConnected(), "connected at exit");
    /* main returns: the process ends with the connection (and prefetching)
     * still running; the DLL's detach must not wait for its threads. */
  } else {
    printf("unknown scenario \"%s\"\n", scenario);
    return 2;
  }

  printf("qs_unload_test %s: %s\n", scenario, Failures == 0 ? "passed" : "FAILED");
  fflush(stdout);
  return Failures == 0 ? 0 : 1;
}
