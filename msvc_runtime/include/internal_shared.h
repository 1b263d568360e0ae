// Stands in for the VC runtime's <internal_shared.h>, which the C++
// library's static sources include: only what they use of it here.
#ifndef IP232_MSVC_RUNTIME_INTERNAL_SHARED_H_
#define IP232_MSVC_RUNTIME_INTERNAL_SHARED_H_

#include <vcruntime.h>

// One copy of a global per process (there are no application domains).
#define __PURE_APPDOMAIN_GLOBAL

#endif  // IP232_MSVC_RUNTIME_INTERNAL_SHARED_H_
