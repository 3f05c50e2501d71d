// settingdefault.h - a program's own default for one of the library's
// settings. The library reads its QVNET_* settings from the environment,
// each when it first needs it (the traces' at the first trace), so a
// program may choose its own default in main(), before it uses the library,
// and still leave the last word to the environment.
#ifndef QVNET_EXAMPLES_SETTINGDEFAULT_H
#define QVNET_EXAMPLES_SETTINGDEFAULT_H

#include <cstdlib>

// Sets environment variable `name` to `value` unless it is set already.
inline void DefaultSetting(const char* name, const char* value) {
  if (std::getenv(name) != nullptr) return;
#if defined(_WIN32)
  ::_putenv_s(name, value);
#else
  ::setenv(name, value, 1);
#endif
}

#endif  // QVNET_EXAMPLES_SETTINGDEFAULT_H
