// Linkage of the classes whose members the host's extension API library
// provides. The build defines QUORVEX_API for each platform and target:
// default visibility on ELF, dllimport in the library's users on Windows.
// Which symbols the library exports is fixed by its export list
// (host_api/extension_api.exports), not by this macro.

#ifndef QUORVEX_API_API_EXPORT_H_
#define QUORVEX_API_API_EXPORT_H_

#ifndef QUORVEX_API
#define QUORVEX_API
#endif

#endif  // QUORVEX_API_API_EXPORT_H_
