// qvlibraryentry.cpp - what loading the library does.
#include "qvlibraryentry.h"

#include "../diag/log.h"
#include "../platform/qvsystem.h"

void QvOnLibraryLoaded() { qvdiag::MakeLogDirectory(); }

// Where the system calls no entry function of the library (POSIX, or a
// Windows program that links the library in), the load-time work runs here.
// The priority puts it after the library's own early static objects (the
// log instance) and before everything else.
__attribute__((constructor(102))) static void QvLoadedWithoutEntryFunction() {
  if (!qvplat::LoadedWithEntryFunction()) QvOnLibraryLoaded();
}
