// Stands in for the VC runtime's <vcruntime.h>: the basic types and the
// macros the C++ library's headers expect of it. Wine's <corecrt.h> brings
// the C runtime's own definitions; this adds what the library needs beyond
// them.
#ifndef IP232_MSVC_RUNTIME_VCRUNTIME_H_
#define IP232_MSVC_RUNTIME_VCRUNTIME_H_
#define _VCRUNTIME_H

#include <corecrt.h>
#include <vadefs.h>

#define _CRT_PACKING 8
// [[msvc::constexpr]] of newer compilers; nothing for this one.
#define _MSVC_CONSTEXPR
#define _VCRTIMP __declspec(dllimport)
#define _CRTIMP2 __declspec(dllimport)
// msvcp140_1.dll and msvcp140_2.dll, the C++ library's satellite DLLs.
#define _CRT_SATELLITE_1 __declspec(dllimport)
#define _CRT_SATELLITE_2 __declspec(dllimport)
#define _CRT_SATELLITE_CODECVT_IDS __declspec(dllimport)
#define _CRT_SATELLITE_CODECVT_IDS_NOIMPORT
#define __CRTDECL __cdecl
#define __CLRCALL_OR_CDECL __cdecl
#define __CLR_OR_THIS_CALL
#define _MRTIMP2 __declspec(dllimport)
#define _PGLOBAL
#define __CLRCALL_PURE_OR_CDECL __cdecl
#define __CLRCALL_PURE_OR_STDCALL __stdcall
#define _CRT_GUARDOVERFLOW
#define _CRT_HYBRIDPATCHABLE
#define _CRT_JIT_INTRINSIC
#define _CRTALLOCATOR __declspec(allocator)
#define _VCRT_ALLOCATOR __declspec(allocator)
#define _CRTNOALIAS __declspec(noalias)
#define _CRTRESTRICT __declspec(restrict)
#define _VCRT_NOALIAS __declspec(noalias)
#define _VCRT_RESTRICT __declspec(restrict)
#define _VCRT_ALIGN(x) __declspec(align(x))
#define _CRT_ALIGN(x) __declspec(align(x))
#define _CRT_DEPRECATE_TEXT(text) __declspec(deprecated(text))
#define _CRT_INSECURE_DEPRECATE(replacement)
#define _CRT_INSECURE_DEPRECATE_MEMORY(replacement)
#define _CRT_STRINGIZE_(x) #x
#define _CRT_STRINGIZE(x) _CRT_STRINGIZE_(x)
#define _CRT_WIDE_(s) L##s
#define _CRT_WIDE(s) _CRT_WIDE_(s)
#define _CRT_CONCATENATE_(a, b) a##b
#define _CRT_CONCATENATE(a, b) _CRT_CONCATENATE_(a, b)
#define _CRT_UNPARENTHESIZE_(...) __VA_ARGS__
#define _CRT_UNPARENTHESIZE(...) _CRT_UNPARENTHESIZE_ __VA_ARGS__
#define _CRT_BEGIN_C_HEADER \
  __pragma(pack(push, _CRT_PACKING)) extern "C" {
#define _CRT_END_C_HEADER } __pragma(pack(pop))
#define _CRT_MSVCP_CURRENT "msvcp140.dll"
#define _CRT_DECLARE_NONSTDC_NAMES 1
#define _CRT_INTERNAL_NONSTDC_NAMES 1
#define _CRT_SECURE_CPP_NOTHROW throw()
#define _CRT_SECURE_INVALID_PARAMETER(expr) _invalid_parameter_noinfo_noreturn()
#define _CRT_WARNING(description) \
  message("warning: " _CRT_STRINGIZE(description))

// The language level, from the compiler's /std: switch.
#ifndef _HAS_CXX17
#define _HAS_CXX17 (_MSVC_LANG > 201402L)
#endif
#ifndef _HAS_CXX20
#define _HAS_CXX20 (_HAS_CXX17 && _MSVC_LANG > 201703L)
#endif
#ifndef _HAS_CXX23
#define _HAS_CXX23 (_HAS_CXX20 && _MSVC_LANG > 202002L)
#endif

#ifndef _HAS_EXCEPTIONS
#define _HAS_EXCEPTIONS 1
#endif
#ifndef _HAS_NODISCARD
#define _HAS_NODISCARD 1
#endif
#define _NODISCARD [[nodiscard]]
#define _VCRT_NODISCARD [[nodiscard]]

#ifdef __cplusplus
#define _CRT_HAS_CXX17 1
extern "C++" {
template <typename T, unsigned long long N>
char (*__countof_helper(T (&)[N]))[N];
}
#define __crt_countof(a) (sizeof(*__countof_helper(a)) + 0)
#endif
#ifndef _countof
#define _countof __crt_countof
#endif

#ifdef __cplusplus
extern "C" {
#endif
typedef bool __vcrt_bool;
_ACRTIMP void __cdecl _invalid_parameter_noinfo(void);
_ACRTIMP __declspec(noreturn) void __cdecl
_invalid_parameter_noinfo_noreturn(void);
#ifdef __cplusplus
}
#endif

#endif  // IP232_MSVC_RUNTIME_VCRUNTIME_H_
