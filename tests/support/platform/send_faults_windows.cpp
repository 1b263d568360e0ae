// Windows: no way to make a send fail on demand.

#include "tests/support/send_faults.h"

namespace quorvex::test {

bool send_faults_available() { return false; }

void fail_sends(std::uint16_t, SendFault, int) {}

}  // namespace quorvex::test
