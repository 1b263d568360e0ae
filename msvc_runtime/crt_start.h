// The module start and end that the entry points (dll_start.cpp,
// exe_start.cpp) share: run this module's initializers, and later its
// atexit functions and static destructors.
#ifndef IP232_MSVC_RUNTIME_CRT_START_H_
#define IP232_MSVC_RUNTIME_CRT_START_H_

namespace ip232_crt {

// False when a C initializer failed.
bool start_module();
void end_module();

}  // namespace ip232_crt

#endif  // IP232_MSVC_RUNTIME_CRT_START_H_
