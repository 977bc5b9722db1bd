// Entry code of QS.dll (Windows only): what happens when the library is
// unloaded while its own threads exist.
//
// The process-wide facade behind the exports is a static object, so the C
// runtime destroys it from the DLL's detach notification, with the loader
// lock held. Its destructor joins the prefetch thread and, through the
// frame client, the receiving thread. A thread that ends must itself take
// the loader lock (thread detach notifications), so joining a running
// thread there would wait forever. Two rules make unloading safe:
//
// 1. FreeLibrary: the first time the library starts a thread of its own it
//    pins its module (GET_MODULE_HANDLE_EX_FLAG_PIN). From then on
//    FreeLibrary returns at once and never unmaps the code that those
//    threads run; the library stays loaded, with its connection, until
//    Disconnect or process exit. Hosts call Disconnect before FreeLibrary.
//    A library that never started a thread unloads normally: its facade has
//    nothing to join.
//
// 2. Process exit (detach with a non-null reserved pointer): the system has
//    already ended every other thread, possibly while one held a lock or was
//    inside the heap. Nothing may be joined, locked or freed then, so the
//    C runtime's detach step (static destructors) is skipped; the system
//    reclaims the memory, the socket and the handles.
//
// Both are done here, without changes to the portable code: thread creation
// is hooked at link time (--wrap=pthread_create, which std::thread reaches
// through winpthreads), and the DLL entry point is QSDllEntry, which forwards
// everything else to the mingw C runtime's DllMainCRTStartup.
#include <windows.h>

#include <pthread.h>

extern "C" {
BOOL WINAPI DllMainCRTStartup(HANDLE module, DWORD reason, LPVOID reserved);
int __real_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                          void* (*body)(void*), void* argument);
int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                          void* (*body)(void*), void* argument);
BOOL WINAPI QSDllEntry(HANDLE module, DWORD reason, LPVOID reserved);
}

namespace {

// 0 until the module is pinned. Pinning twice is harmless; the flag only
// saves the system call.
volatile LONG ModulePinned = 0;

void PinThisModule() {
  if (InterlockedCompareExchange(&ModulePinned, 1, 0) != 0) return;
  HMODULE self = nullptr;
  // Any address inside this module names it: here, this function's.
  const BOOL pinned = GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
      reinterpret_cast<LPCWSTR>(reinterpret_cast<const void*>(&PinThisModule)), &self);
  if (!pinned) InterlockedExchange(&ModulePinned, 0);  // try again next time
}

}  // namespace

// Every thread the library starts (receiving thread, prefetch thread) is
// created through here.
int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                          void* (*body)(void*), void* argument) {
  PinThisModule();
  return __real_pthread_create(thread, attributes, body, argument);
}

BOOL WINAPI QSDllEntry(HANDLE module, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) return TRUE;
  return DllMainCRTStartup(module, reason, reserved);
}
