// The C++ library's static sources spell the Windows header with a capital
// W, which Wine's file name does not have on a case-sensitive file system.
#include <windows.h>
