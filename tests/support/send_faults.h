// Failed sends on demand, for the tests of the bridge's sending side. Where
// the test program runs with the send shim loaded (tests/shim, Linux), the
// next few sends of the bridge to a server's port fail with a chosen error
// while the connection stays up; elsewhere the tests that need it skip.

#ifndef QUORVEX_TESTS_SUPPORT_SEND_FAULTS_H_
#define QUORVEX_TESTS_SUPPORT_SEND_FAULTS_H_

#include <cstdint>

namespace quorvex::test {

enum class SendFault {
  kNoBuffers,        // the system is short of buffers (ENOBUFS)
  kHostUnreachable,  // a soft network error (EHOSTUNREACH)
  kReset,            // the connection is gone (ECONNRESET)
  kBrokenPipe,       // the connection is gone (EPIPE)
};

// Whether failed sends can be injected in this run.
bool send_faults_available();

// Makes the next `count` sends on connections to `port` fail with `fault`.
void fail_sends(std::uint16_t port, SendFault fault, int count);

}  // namespace quorvex::test

#endif  // QUORVEX_TESTS_SUPPORT_SEND_FAULTS_H_
