// Linux: the send shim, when LD_PRELOAD loaded it, offers its arming
// function to every library of the process.

#include <dlfcn.h>

#include <cerrno>

#include "tests/support/send_faults.h"

namespace quorvex::test {
namespace {

using ArmFunction = void (*)(int port, int error_number, int count);

ArmFunction arm_function() {
  static const auto arm = reinterpret_cast<ArmFunction>(
      ::dlsym(RTLD_DEFAULT, "ip232_fail_sends"));
  return arm;
}

}  // namespace

bool send_faults_available() { return arm_function() != nullptr; }

void fail_sends(std::uint16_t port, SendFault fault, int count) {
  int error_number = EHOSTUNREACH;
  switch (fault) {
    case SendFault::kNoBuffers: error_number = ENOBUFS; break;
    case SendFault::kHostUnreachable: error_number = EHOSTUNREACH; break;
    case SendFault::kReset: error_number = ECONNRESET; break;
    case SendFault::kBrokenPipe: error_number = EPIPE; break;
  }
  if (arm_function() != nullptr) arm_function()(port, error_number, count);
}

}  // namespace quorvex::test
