// Stands in for the VC runtime's <intrin0.h>, the compiler intrinsics the
// C++ library's headers use: clang declares them all in its <intrin.h>.
#ifndef IP232_MSVC_RUNTIME_INTRIN0_H_
#define IP232_MSVC_RUNTIME_INTRIN0_H_
#include <intrin.h>
#endif  // IP232_MSVC_RUNTIME_INTRIN0_H_
