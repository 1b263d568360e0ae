// Stands in for the C runtime's <stdio.h> where Wine's lacks what the C++
// library's <cstdio> and <fstream> name: the three v*scanf functions, which
// the runtime defines inline over its common scanf entry points, as here,
// and the stream buffer access of the runtime DLL.
#ifndef IP232_MSVC_RUNTIME_STDIO_H_
#define IP232_MSVC_RUNTIME_STDIO_H_

#include_next <stdio.h>
#include <wchar.h>

// The C++ library's file streams share the C stream's buffer through this.
#ifdef __cplusplus
extern "C" {
#endif
_ACRTIMP errno_t __cdecl _get_stream_buffer_pointers(FILE* stream,
                                                    char*** base,
                                                    char*** pointer,
                                                    int** count);
#ifdef __cplusplus
}
#endif

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
