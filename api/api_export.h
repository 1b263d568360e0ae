// Linkage of the declarations that the host's extension API library
// provides. The build defines QUORVEX_API for each platform and target:
// default visibility on ELF, dllexport while building the library and
// dllimport in its users on Windows.

#ifndef QUORVEX_API_API_EXPORT_H_
#define QUORVEX_API_API_EXPORT_H_

#ifndef QUORVEX_API
#define QUORVEX_API
#endif

#endif  // QUORVEX_API_API_EXPORT_H_
