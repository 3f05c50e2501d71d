// qvdestructor.h - the destructor of each interface, laid out so that the
// Windows DLL works for applications built with the Microsoft C++ compiler
// and with mingw-w64 alike.
//
// The Microsoft C++ ABI gives a virtual destructor one entry in the virtual
// table, the "deleting destructor", called with flags (bit 0: free the
// memory; on 32-bit Windows with the thiscall convention, the callee popping
// the flags). The GNU ABI, which mingw-w64 uses and the DLL is built with,
// gives it two entries, without flags. So with a GNU compiler on Windows
// each interface declares, at the destructor's place, QvDestroy: the
// Microsoft layout's one entry, which destroys the object through the
// virtual destructor that follows it and frees it when bit 0 is set.
//   - An application built with the Microsoft compiler (or clang-cl)
//     deletes the library's objects with `delete`: its compiler calls that
//     entry with flags 1. Its own codecs and accept handlers have their
//     deleting destructor there, which is what the library calls.
//   - An application built with mingw-w64 sees QvDestroy and the destructor
//     behind it, as the DLL does, and uses `delete` as usual; its own
//     objects get QvDestroy from the interface.
// Elsewhere the interfaces simply have a virtual destructor.
#ifndef QVNET_QVDESTRUCTOR_H
#define QVNET_QVDESTRUCTOR_H

#if defined(_WIN32) && !defined(_MSC_VER)
#if defined(__i386__)
#define QVNET_THISCALL __attribute__((thiscall))
#else
#define QVNET_THISCALL
#endif
// Inside the interface, after its last operation.
#define QVNET_DESTRUCTOR(Interface)                            \
  virtual void* QVNET_THISCALL QvDestroy(unsigned int flags) { \
    if (flags & 1u) {                                          \
      delete this;                                             \
    } else {                                                   \
      this->~Interface();                                      \
    }                                                          \
    return this;                                               \
  }                                                            \
  virtual ~Interface() {}
#else
#define QVNET_DESTRUCTOR(Interface) \
  virtual ~Interface() {}
#endif

// Deletes an object through an interface pointer, whichever compiler made
// it: what the library does with the codec and the accept handler it is
// given. (An application deletes the library's objects with `delete`.)
template <class Interface>
inline void QvDelete(Interface* object) {
#if defined(_WIN32) && !defined(_MSC_VER)
  if (object != nullptr) object->QvDestroy(1u);
#else
  delete object;
#endif
}

#endif  // QVNET_QVDESTRUCTOR_H
