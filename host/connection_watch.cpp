#include "host/connection_watch.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "net/socket_handle.h"
#include "net/socket_ops.h"
#include "sys/error_text.h"

namespace quorvex::host {

IpAddress mapped_v4(const void* address) {
  IpAddress ip{};
  ip[10] = 0xFF;
  ip[11] = 0xFF;
  std::memcpy(ip.data() + 12, address, 4);
  return ip;
}

bool is_v4(const IpAddress& ip) {
  static constexpr std::uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0,
                                               0, 0, 0, 0, 0xFF, 0xFF};
  return std::equal(std::begin(kPrefix), std::end(kPrefix), ip.begin());
}

bool resolve_host_addresses(const std::string& host,
                            std::vector<IpAddress>& addresses,
                            std::string& error) {
  net::ensure_socket_startup();
  std::vector<net::ResolvedAddress> resolved;
  net::SocketError failure;
  if (!net::resolve_stream_addresses(host, "0", resolved, failure)) {
    error = sys::error_text(net::socket_error_text(failure), failure.code);
    return false;
  }
  addresses.clear();
  for (const net::ResolvedAddress& entry : resolved) {
    if (const std::optional<IpAddress> ip =
            ip_address_of(entry.family, entry.address)) {
      addresses.push_back(*ip);
    }
  }
  if (addresses.empty()) {
    error = "no IPv4 or IPv6 address";
    return false;
  }
  return true;
}

ConnectionWatch::ConnectionWatch(std::string host, std::uint16_t port,
                                 std::function<void()> on_event)
    : ConnectionWatch(std::move(host), port, std::move(on_event), Timing{}) {}

ConnectionWatch::ConnectionWatch(std::string host, std::uint16_t port,
                                 std::function<void()> on_event, Timing timing)
    : host_(std::move(host)),
      port_(port),
      on_event_(std::move(on_event)),
      timing_(timing),
      thread_([this] { run(); }) {}

ConnectionWatch::~ConnectionWatch() {
  {
    sync::MutexLock hold(lock_);
    stop_ = true;
  }
  stopping_.notify_all();
  thread_.join();
}

std::vector<ConnectionEvent> ConnectionWatch::take_events() {
  if (!pending_.exchange(false)) return {};
  sync::MutexLock hold(lock_);
  return std::exchange(events_, {});
}

void ConnectionWatch::queue(ConnectionEvent event) {
  {
    sync::MutexLock hold(lock_);
    events_.push_back(std::move(event));
    pending_.store(true);
  }
  if (on_event_) on_event_();
}

bool ConnectionWatch::sleep_until(Clock::time_point until) {
  sync::MutexLock hold(lock_);
  while (!stop_) {
    if (!stopping_.wait_until(lock_, until)) return true;
  }
  return false;
}

void ConnectionWatch::run() {
  using Kind = ConnectionEvent::Kind;
  std::vector<IpAddress> addresses;
  Clock::time_point resolve_at = Clock::now();
  ConnectionId current = 0;
  // The outage in progress: since when, and whether it was reported.
  Clock::time_point down_since = Clock::now();
  bool down_reported = false;
  for (;;) {
    if (current == 0 && Clock::now() >= resolve_at) {
      // Addresses found before stay in use when a later lookup fails.
      std::vector<IpAddress> fresh;
      std::string reason;
      if (resolve_host_addresses(host_, fresh, reason)) {
        addresses = std::move(fresh);
      } else if (addresses.empty() && !down_reported) {
        queue({Kind::kUnresolved, Clock::now(), reason});
        down_reported = true;
      }
      resolve_at = Clock::now() + timing_.resolve_again;
    }
    std::string error;
    const std::optional<ConnectionId> look =
        addresses.empty() ? ConnectionId{0}
                          : find_own_connection(addresses, port_, error);
    if (!look) {
      queue({Kind::kUnwatchable, Clock::now(), error});
      sync::MutexLock hold(lock_);
      while (!stop_) stopping_.wait(lock_);
      return;
    }
    const ConnectionId found = *look;
    const Clock::time_point seen = Clock::now();
    if (found != current) {
      // A different id in one look: the old connection closed and a new
      // one opened in between.
      if (current != 0) {
        queue({Kind::kClosed, seen, {}});
        down_since = seen;
        down_reported = false;
      }
      if (found != 0) queue({Kind::kConnected, seen, {}});
      current = found;
    }
    // While no connection is expected, its absence is no news.
    if (!wanted_.load()) down_since = seen;
    if (current == 0 && !down_reported &&
        seen - down_since >= timing_.no_answer_after) {
      queue({Kind::kNoAnswer, seen, {}});
      down_reported = true;
    }
    const auto pause =
        current != 0 ? timing_.scan_connected : timing_.scan_unconnected;
    if (!sleep_until(seen + pause)) return;
  }
}

}  // namespace quorvex::host
