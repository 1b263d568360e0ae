// Stands in for the C runtime's <wchar.h> where Wine's differs from it:
// mbstate_t is the runtime's 8-byte struct _Mbstatet, which the C++
// library's names (std::streampos) and layouts carry, and the functions the
// runtime defines inline. The rest is Wine's.
#ifndef IP232_MSVC_RUNTIME_WCHAR_H_
#define IP232_MSVC_RUNTIME_WCHAR_H_

#define mbstate_t __wine_int_mbstate_t
#include_next <wchar.h>
#undef mbstate_t

#ifdef __cplusplus
extern "C" {
#endif
typedef struct _Mbstatet {
  unsigned long _Wchar;
  unsigned short _Byte;
  unsigned short _State;
} _Mbstatet;
typedef _Mbstatet mbstate_t;

_ACRTIMP long double __cdecl wcstold(const wchar_t*, wchar_t**);
#ifdef __cplusplus
}
#endif

// The runtime defines these inline; so does this header.
static inline int __cdecl fwide(FILE*, int mode) { return mode; }
static inline int __cdecl mbsinit(const mbstate_t* state) {
  return state == NULL || state->_Wchar == 0;
}
static inline int __cdecl vfwscanf(FILE* file, const wchar_t* format,
                                   va_list args) {
  return __stdio_common_vfwscanf(_CRT_INTERNAL_LOCAL_SCANF_OPTIONS, file,
                                 format, NULL, args);
}
static inline int __cdecl vwscanf(const wchar_t* format, va_list args) {
  return vfwscanf(stdin, format, args);
}
static inline int __cdecl vswscanf(const wchar_t* buffer,
                                   const wchar_t* format, va_list args) {
  return __stdio_common_vswscanf(_CRT_INTERNAL_LOCAL_SCANF_OPTIONS, buffer,
                                 (size_t)-1, format, NULL, args);
}

#endif  // IP232_MSVC_RUNTIME_WCHAR_H_
