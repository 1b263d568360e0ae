// Stands in for the VC runtime's DLL entry point (_DllMainCRTStartup in
// msvcrt.lib): statics are made when the DLL is loaded and destroyed when
// it is unloaded. The modules built here have no DllMain of their own.

#include <windows.h>

#include "crt_start.h"

extern "C" BOOL WINAPI _DllMainCRTStartup(HINSTANCE, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      return ip232_crt::start_module() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
      ip232_crt::end_module();
      return TRUE;
    default:
      return TRUE;
  }
}
