/*
 * qs_host.h - what a Windows host does to use QS.dll at run time: load it
 * with LoadLibrary and look up the 30 exports by their plain names with
 * GetProcAddress. Shared by the Windows test host programs.
 */
#ifndef QS_HOST_H_INCLUDED
#define QS_HOST_H_INCLUDED

#include <windows.h>

#include <stdio.h>

#include "QS.h"

/* X(result, name, parameter list) for every exported function. */
#define QS_HOST_EXPORTS(X)                                                              \
  X(QSBool, Connect, (const char*))                                                     \
  X(QSBool, Disconnect, (void))                                                         \
  X(QSBool, IsConnected, (void))                                                        \
  X(QSBool, GetFrame, (void))                                                           \
  X(QSBool, GetFrameNumber, (int32_t*))                                                 \
  X(QSBool, EnableSegmentData, (void))                                                  \
  X(QSBool, EnableMarkerData, (void))                                                   \
  X(QSBool, EnableForcePlateData, (void))                                               \
  X(QSBool, GetSubjectCount, (int32_t*))                                                \
  X(const char*, GetSubjectName, (int32_t))                                             \
  X(QSBool, GetSegmentCount, (const char*, int32_t*))                                   \
  X(const char*, GetSegmentName, (const char*, int32_t))                                \
  X(QSBool, GetMarkerCount, (const char*, int32_t*))                                    \
  X(const char*, GetMarkerName, (const char*, int32_t))                                 \
  X(QSBool, GetGlobalSegmentTranslation, (const char*, const char*, double*, int32_t*)) \
  X(QSBool, GetGlobalSegmentRotationHelical,                                            \
    (const char*, const char*, double*, int32_t*))                                      \
  X(QSBool, GetGlobalSegmentRotationQuaternion,                                         \
    (const char*, const char*, double*, int32_t*))                                      \
  X(QSBool, GetGlobalMarkerTranslation, (const char*, const char*, double*, int32_t*))  \
  X(QSBool, GetForcePlateCount, (int32_t*))                                             \
  X(QSBool, GetForcePlateID, (int32_t, int32_t*))                                       \
  X(QSBool, GetForceVector, (int32_t, double*))                                         \
  X(QSBool, GetMomentVector, (int32_t, double*))                                        \
  X(QSBool, GetCentreOfPressure, (int32_t, double*))                                    \
  X(QSBool, GetNumberOfAnalogChannels, (int32_t, int32_t*))                             \
  X(QSBool, GetAnalogChannelVoltage, (int32_t, int32_t, double*))                       \
  X(void, SetPreFetchMode, (QSBool))                                                    \
  X(void, SetLeftHandRule, (void))                                                      \
  X(void, SetRightHandRule, (void))                                                     \
  X(void, SetYUp, (void))                                                               \
  X(void, SetZUp, (void))

#define QS_HOST_FIELD(result, name, parameters) result(QS_CALL* name) parameters;
typedef struct QSLibrary {
  HMODULE Module;
  QS_HOST_EXPORTS(QS_HOST_FIELD)
} QSLibrary;
#undef QS_HOST_FIELD

/* Loads the DLL at `path` and resolves every export. Returns 1 when all 30
 * were found; otherwise prints what is missing, unloads and returns 0. */
static inline int QSLoadLibrary(const char* path, QSLibrary* library) {
  int missing = 0;
  library->Module = LoadLibraryA(path);
  if (library->Module == NULL) {
    printf("LoadLibrary(%s) failed, error %lu\n", path, (unsigned long)GetLastError());
    return 0;
  }
  /* GetProcAddress returns a generic function pointer; it goes through
   * void (*)(void) to the export's own type. */
#define QS_HOST_RESOLVE(result, name, parameters)                                              \
  library->name =                                                                              \
      (result(QS_CALL*) parameters)(void (*)(void))GetProcAddress(library->Module, #name);     \
  if (library->name == NULL) {                                                                 \
    printf("export %s not found\n", #name);                                                    \
    ++missing;                                                                                 \
  }
  QS_HOST_EXPORTS(QS_HOST_RESOLVE)
#undef QS_HOST_RESOLVE
  if (missing != 0) {
    FreeLibrary(library->Module);
    library->Module = NULL;
    return 0;
  }
  return 1;
}

/* Connect, retried for up to `seconds` while the server is starting. */
static inline int QSConnectWithin(QSLibrary* library, const char* host, int seconds) {
  int attempt;
  for (attempt = 0; attempt < seconds * 10; ++attempt) {
    if (library->Connect(host)) return 1;
    Sleep(100);
  }
  return 0;
}

/* GetFrame until a frame has been taken, for up to `seconds`. */
static inline int QSWaitForFrame(QSLibrary* library, int seconds) {
  int attempt;
  int32_t frame = 0;
  for (attempt = 0; attempt < seconds * 100; ++attempt) {
    if (library->GetFrame() && library->GetFrameNumber(&frame)) return 1;
    Sleep(10);
  }
  return 0;
}

#endif /* QS_HOST_H_INCLUDED */
