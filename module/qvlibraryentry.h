// qvlibraryentry.h - what loading the library does (internal).
#ifndef QV_MODULE_QVLIBRARYENTRY_H
#define QV_MODULE_QVLIBRARYENTRY_H

// Runs once when the library is loaded into a process, after the library's
// log object was constructed: creates the log's directory, ignoring failure.
// Called by DllMain's process attach (the Windows DLL) or by a load-time
// constructor (everywhere else).
void QvOnLibraryLoaded();

#endif  // QV_MODULE_QVLIBRARYENTRY_H
