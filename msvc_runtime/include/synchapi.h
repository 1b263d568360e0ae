// The C++ library's static sources include <synchapi.h> on its own; Wine's
// needs the Windows types first. Wine's <winbase.h> includes this name too,
// and gets Wine's header through the last line.
#include <stdarg.h>
#include <windef.h>
#include <winbase.h>
#include_next <synchapi.h>
