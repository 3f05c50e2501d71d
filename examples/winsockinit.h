// winsockinit.h - Windows Sockets start-up for the examples. The library
// never initialises Windows Sockets itself: an application does, once,
// before it connects or listens. Elsewhere this is nothing.
#ifndef QVNET_EXAMPLES_WINSOCKINIT_H
#define QVNET_EXAMPLES_WINSOCKINIT_H

#if defined(_WIN32)
#include <winsock2.h>
struct WinsockInit {
  WinsockInit() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~WinsockInit() { WSACleanup(); }
};
#else
struct WinsockInit {
  WinsockInit() {}  // nothing to start
};
#endif

#endif  // QVNET_EXAMPLES_WINSOCKINIT_H
