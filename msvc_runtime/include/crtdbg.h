// Stands in for the C runtime's <crtdbg.h> where Wine's lacks the report
// settings a release build (no _DEBUG) turns into nothing.
#ifndef IP232_MSVC_RUNTIME_CRTDBG_H_
#define IP232_MSVC_RUNTIME_CRTDBG_H_

#include_next <crtdbg.h>

#define _CRTDBG_MODE_FILE 0x1
#define _CRTDBG_MODE_DEBUG 0x2
#define _CRTDBG_MODE_WNDW 0x4
#define _CRTDBG_FILE_STDOUT ((void*)-4)
#define _CRTDBG_FILE_STDERR ((void*)-5)
#ifndef _DEBUG
#define _CrtSetReportFile(type, file) ((void*)0)
#endif

#endif  // IP232_MSVC_RUNTIME_CRTDBG_H_
