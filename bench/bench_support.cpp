#include "bench/bench_support.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "tools/net/tcp_stream.h"

namespace quorvex::bench {

std::unique_ptr<ip232::Ip232SerialEndpoint> make_endpoint(
    std::uint16_t port, bool raw, std::vector<ThreadId>* started) {
  ip232::EndpointConfig config;
  config.host = "127.0.0.1";
  config.port = port;
  config.raw = raw;
  config.handshake = false;
  config.tx_buffer = 4096;
  const std::vector<ThreadId> before =
      started ? list_threads() : std::vector<ThreadId>();
  auto endpoint = std::make_unique<ip232::Ip232SerialEndpoint>(std::move(config));
  if (started) *started = new_threads(before, list_threads());
  endpoint->set_rts(true);
  return endpoint;
}

bool wait_until(const std::function<bool()>& done, Clock::duration limit,
                Clock::duration step) {
  const Clock::time_point deadline = Clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(step);
  }
}

std::vector<ThreadId> new_threads(std::vector<ThreadId> before,
                                  std::vector<ThreadId> after) {
  std::sort(before.begin(), before.end());
  std::sort(after.begin(), after.end());
  std::vector<ThreadId> added;
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                      std::back_inserter(added));
  return added;
}

std::uint16_t refused_port() {
  std::string error;
  auto listener = net::TcpListener::open("127.0.0.1", 0, 1, error);
  if (!listener) throw std::runtime_error("cannot listen on 127.0.0.1: " + error);
  return listener->port();  // closed on return
}

}  // namespace quorvex::bench
