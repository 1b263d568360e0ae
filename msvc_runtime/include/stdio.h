// Stands in for the C runtime's <stdio.h> where Wine's lacks what the C++
// library's <cstdio> names: the three v*scanf functions, which the runtime
// defines inline over its common scanf entry points, as here.
#ifndef IP232_MSVC_RUNTIME_STDIO_H_
#define IP232_MSVC_RUNTIME_STDIO_H_

#include_next <stdio.h>
#include <wchar.h>

static inline int __cdecl vfscanf(FILE* file, const char* format,
                                  va_list args) {
  return __stdio_common_vfscanf(_CRT_INTERNAL_LOCAL_SCANF_OPTIONS, file,
                                format, NULL, args);
}
static inline int __cdecl vscanf(const char* format, va_list args) {
  return vfscanf(stdin, format, args);
}
static inline int __cdecl vsscanf(const char* buffer, const char* format,
                                  va_list args) {
  return __stdio_common_vsscanf(_CRT_INTERNAL_LOCAL_SCANF_OPTIONS, buffer,
                                (size_t)-1, format, NULL, args);
}

#endif  // IP232_MSVC_RUNTIME_STDIO_H_
