// Stands in for the C runtime's <stdlib.h> where Wine's differs from it:
// atexit belongs to the module; and where it lacks what the C++ library's
// <cstdlib> names: quick_exit (Wine declares it in <process.h>)
// and at_quick_exit, which the runtime's static part forwards to the DLL,
// _set_abort_behavior, and the error numbers, which the runtime's header
// brings along.
#ifndef IP232_MSVC_RUNTIME_STDLIB_H_
#define IP232_MSVC_RUNTIME_STDLIB_H_

// Wine declares atexit as imported from the DLL; the runtime's own header
// leaves it to each module's static part (crt_support.cpp), which
// registers the function with that module.
#define atexit __wine_imported_atexit
#include_next <stdlib.h>
#undef atexit
#include <corecrt_startup.h>
#include <errno.h>
#include <process.h>

#ifdef __cplusplus
extern "C" {
#endif
int __cdecl atexit(void(__cdecl* function)(void));
_ACRTIMP unsigned int __cdecl _set_abort_behavior(unsigned int flags,
                                                  unsigned int mask);
#ifdef __cplusplus
}
#endif

static inline int __cdecl at_quick_exit(void(__cdecl* function)(void)) {
  return _crt_at_quick_exit(function);
}

#endif  // IP232_MSVC_RUNTIME_STDLIB_H_
