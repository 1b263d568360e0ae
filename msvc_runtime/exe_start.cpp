// Stands in for the VC runtime's console program entry point
// (mainCRTStartup in msvcrt.lib): sets up the C runtime's arguments and
// environment, makes the statics, calls main, and exits with its status;
// exit() runs this module's atexit functions and static destructors.

#include <corecrt_startup.h>
#include <stdlib.h>

#include "crt_start.h"

extern "C" int main(int argc, char** argv);

namespace {
void __cdecl end_module() { ip232_crt::end_module(); }
}  // namespace

extern "C" int mainCRTStartup() {
  _set_app_type(_crt_console_app);
  if (_configure_narrow_argv(_crt_argv_unexpanded_arguments) != 0 ||
      _initialize_narrow_environment() != 0 || _crt_atexit(end_module) != 0 ||
      !ip232_crt::start_module()) {
    _exit(255);
  }
  exit(main(*__p___argc(), *__p___argv()));
}
