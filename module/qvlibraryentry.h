// qvlibraryentry.h - what loading the library does (internal).
#ifndef QV_MODULE_QVLIBRARYENTRY_H
#define QV_MODULE_QVLIBRARYENTRY_H

// Runs once when the library is loaded into a process, after the library's
// log object was constructed (which read the log's settings): creates the
// log's directory, ignoring failure, unless the log is off, and logs the
// log settings whose values were not valid.
// Called by DllMain's process attach (the Windows DLL) or by a load-time
// constructor (everywhere else).
void QvOnLibraryLoaded();

#endif  // QV_MODULE_QVLIBRARYENTRY_H
