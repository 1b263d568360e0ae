// Stands in for the VC runtime's <eh.h>. Wine's declares terminate and
// unexpected with C++ linkage; the runtime DLL exports them, and the
// handler getters the C++ library's <exception> calls, with C linkage.
#ifndef IP232_MSVC_RUNTIME_EH_H_
#define IP232_MSVC_RUNTIME_EH_H_

#include <corecrt.h>

#pragma pack(push, 8)
struct _EXCEPTION_POINTERS;

extern "C" {
typedef void(__cdecl* terminate_handler)(void);
typedef void(__cdecl* terminate_function)(void);
typedef void(__cdecl* unexpected_handler)(void);
typedef void(__cdecl* unexpected_function)(void);
typedef void(__cdecl* _se_translator_function)(unsigned int code,
                                               _EXCEPTION_POINTERS* info);

_ACRTIMP terminate_function __cdecl set_terminate(terminate_function func);
_ACRTIMP unexpected_function __cdecl set_unexpected(unexpected_function func);
_ACRTIMP _se_translator_function __cdecl _set_se_translator(
    _se_translator_function func);
_ACRTIMP terminate_function __cdecl _get_terminate(void);
_ACRTIMP unexpected_function __cdecl _get_unexpected(void);
_ACRTIMP __declspec(noreturn) void __cdecl terminate(void) throw();
_ACRTIMP __declspec(noreturn) void __cdecl unexpected(void);
}
#pragma pack(pop)

#endif  // IP232_MSVC_RUNTIME_EH_H_
