// Stands in for the C runtime's <io.h> where Wine's differs from it: Wine
// makes open and sopen macros for _open and _sopen, which renames every
// member function called open; the runtime's header has no such macros.
#ifndef IP232_MSVC_RUNTIME_IO_H_
#define IP232_MSVC_RUNTIME_IO_H_

#include_next <io.h>
#undef open
#undef sopen

#endif  // IP232_MSVC_RUNTIME_IO_H_
