// qvdllmain.cpp - the DLL's entry function (built for Windows only).
//
// It needs three Win32 names, declared here rather than through <windows.h>:
// the platform layer is the only code that includes system headers.
#include "../platform/qvthreads.h"
#include "qvlibraryentry.h"

namespace {
constexpr unsigned long kProcessDetach = 0;  // DLL_PROCESS_DETACH
constexpr unsigned long kProcessAttach = 1;  // DLL_PROCESS_ATTACH
}  // namespace

// BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved). On process
// attach it does the load-time work; loading never fails on its account.
extern "C" int __stdcall DllMain(void*, unsigned long reason, void* reserved) {
  if (reason == kProcessAttach) QvOnLibraryLoaded();
  // The C runtime runs the library's static destructors after this returns.
  // A non-null `reserved` means the process is ending: Windows has already
  // ended every other thread, wherever it was, so they must not wait for
  // the worker or touch its sockets.
  if (reason == kProcessDetach && reserved != nullptr) qvplat::NoteProcessEnding();
  return 1;
}
