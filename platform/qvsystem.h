// qvsystem.h - files, local time and how the library was loaded (internal).
#ifndef QV_PLATFORM_QVSYSTEM_H
#define QV_PLATFORM_QVSYSTEM_H

#include <cstddef>
#include <cstdio>
#include <ctime>

namespace qvplat {

#if defined(_WIN32)
constexpr bool kFileNamesIgnoreCase = true;
constexpr char kPathSeparators[] = "/\\";  // either separates a path's parts
#else
constexpr bool kFileNamesIgnoreCase = false;
constexpr char kPathSeparators[] = "/";
#endif

bool MakeDirectory(const char* path);         // false when it failed or existed
bool LocalTime(std::time_t t, std::tm* out);  // thread-safe localtime

// Writes `length` bytes to `stream` as one piece: no other thread's output
// comes between them. As fwrite, cheaper for the short lines of the traces.
void WriteWhole(std::FILE* stream, const char* bytes, std::size_t length);

// True where the system calls the library's own entry function when it is
// loaded (a Windows DLL: DllMain); false where the library's load-time work
// must run from a static constructor instead (POSIX, or linked into a
// program).
bool LoadedWithEntryFunction();

// Whether the program declared QVNET_LOG_OFF_BY_DEFAULT (qvnet.h): whether
// its executable exports the symbol QvNetLogOffByDefault. Answers at load,
// before main.
bool ProgramWantsLogOffByDefault();

}  // namespace qvplat

#endif  // QV_PLATFORM_QVSYSTEM_H
