// qvplatform.h - the library's one view of the operating system (internal).
//
// Everything else in the library talks to the system through the headers
// of platform/ only, one per concern:
//   qvsockets.h    sockets and IPv4 addresses
//   qverrors.h     the socket error codes, in one table
//   qvthreads.h    threads, sleeping and locks (qvlockorder.h: their order)
//   qvpoller.h     readiness waiting for the dispatcher
//   qvsystem.h     files, local time, how the library was loaded
// qvplatform_posix.cpp and qvplatform_win32.cpp implement them (the build
// picks one); what is the same on both is in qvplatform_common.cpp, and
// qvplatform_os.h is what those three share. No operating system header is
// included by these headers, so subsystem code never sees one. This header
// brings them all.
#ifndef QV_PLATFORM_QVPLATFORM_H
#define QV_PLATFORM_QVPLATFORM_H

#include "qverrors.h"
#include "qvlockorder.h"
#include "qvpoller.h"
#include "qvsockets.h"
#include "qvsystem.h"
#include "qvthreads.h"

#endif  // QV_PLATFORM_QVPLATFORM_H
