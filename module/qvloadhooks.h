// qvloadhooks.h - work done when the library is loaded (internal).
#ifndef QV_MODULE_QVLOADHOOKS_H
#define QV_MODULE_QVLOADHOOKS_H

// Called once when the library is loaded into a process (DllMain's process
// attach on Windows, a load-time constructor elsewhere), after the library's
// log object was constructed: creates the log directory, ignoring failure.
void QvOnLibraryLoaded();

#endif  // QV_MODULE_QVLOADHOOKS_H
