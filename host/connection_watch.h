// ConnectionWatch: how ip232-term learns what the extension's connection is
// doing. The extension says nothing about its connection after its one
// console line, but it runs inside this process, so its socket is one of
// the process's own: a thread of the watch looks at them now and then and
// reports each change as an event.
//
// The watch resolves the host name itself (the way the extension does,
// with the system's resolver), so that it knows which remote addresses
// count, and so that a name that does not resolve is reported with the
// system's reason.
//
// Owned by the main thread, which takes the events; the watch's thread
// only looks and queues. The platform part (connection_watch_linux.cpp,
// connection_watch_windows.cpp) reads the system's socket addresses and
// finds the process's connection.

#ifndef QUORVEX_HOST_CONNECTION_WATCH_H_
#define QUORVEX_HOST_CONNECTION_WATCH_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "sync/mutex.h"
#include "sync/thread_annotations.h"

namespace quorvex::host {

// An IP address; an IPv4 address as its IPv4-mapped IPv6 form
// (::ffff:a.b.c.d), so that both families compare alike.
using IpAddress = std::array<std::uint8_t, 16>;

// The IPv4-mapped form of the IPv4 address at `address` (4 bytes, network
// order), and whether `ip` is one.
IpAddress mapped_v4(const void* address);
bool is_v4(const IpAddress& ip);

// Names one TCP connection for as long as it exists; 0 names none.
using ConnectionId = std::uint64_t;

// Resolves `host` (a name or a numeric address, IPv6 without brackets) for
// TCP. True with every address the resolver gives; false with the system's
// reason in `error`. Blocks for as long as the resolver takes.
bool resolve_host_addresses(const std::string& host,
                            std::vector<IpAddress>& addresses,
                            std::string& error);

// The IpAddress in `address`, a socket address as the resolver gives it
// (net::ResolvedAddress's bytes, of `family`); nothing for a family other
// than IPv4 and IPv6. Platform part.
std::optional<IpAddress> ip_address_of(int family,
                                       std::span<const std::uint8_t> address);

// An established TCP connection of this process to one of `addresses` at
// `port`; 0 when there is none (a connection the far end has closed does
// not count). Nothing, with the reason in `error`, when the system cannot
// tell. Linux matches the process's own socket inodes with a list that the
// kernel filters down to the watched port, so many sockets elsewhere in the
// system cost little; Windows reads the system's connection table and
// keeps the rows this process owns.
std::optional<ConnectionId> find_own_connection(
    std::span<const IpAddress> addresses, std::uint16_t port,
    std::string& error);

struct ConnectionEvent {
  enum class Kind {
    kConnected,   // a connection was found
    kClosed,      // the connection found before has gone
    kNoAnswer,    // no connection for a while since the start or the close
    kUnresolved,  // the name does not resolve; `reason` says why
    kUnwatchable, // the system cannot tell; `reason` says why. The last
                  // event: the watch stops looking.
  };
  Kind kind = Kind::kConnected;
  std::chrono::steady_clock::time_point at;  // when the watch saw it
  std::string reason;
};

class ConnectionWatch {
 public:
  struct Timing {
    // How often the process's sockets are looked at: before a connection
    // (so that it is reported soon) and while one is up (rarely, to keep
    // the idle process quiet).
    std::chrono::milliseconds scan_unconnected{250};
    std::chrono::milliseconds scan_connected{500};
    // After this long without a connection, since the start or since the
    // last connection closed, one kNoAnswer event.
    std::chrono::milliseconds no_answer_after{1500};
    // While there is no connection, the name is resolved again this often
    // (it may come to resolve, or the addresses behind it may change).
    std::chrono::milliseconds resolve_again{2000};
  };

  // Starts watching for connections to `host` at `port`. `on_event` is
  // called on the watch's thread after events were queued (to wake the
  // taker); it must not block.
  ConnectionWatch(std::string host, std::uint16_t port,
                  std::function<void()> on_event);
  ConnectionWatch(std::string host, std::uint16_t port,
                  std::function<void()> on_event, Timing timing);
  // Stops the thread and waits for it; that includes a name lookup in
  // progress, which the system does not let anyone cut short.
  ~ConnectionWatch();
  ConnectionWatch(const ConnectionWatch&) = delete;
  ConnectionWatch& operator=(const ConnectionWatch&) = delete;

  // Whether a connection is expected now (true at the start). While it is
  // not (the extension holds a raw-mode connection only while
  // request-to-send is on), no kNoAnswer event comes; once it is again,
  // the time for one starts anew. Any thread.
  void set_wanted(bool wanted) { wanted_.store(wanted); }
  bool wanted() const { return wanted_.load(); }

  // The events since the last call, oldest first. Cheap when there are
  // none: the main thread asks on every turn of its loop.
  std::vector<ConnectionEvent> take_events() EXCLUDES(lock_);

 private:
  using Clock = std::chrono::steady_clock;

  void run();
  void queue(ConnectionEvent event) EXCLUDES(lock_);
  // Sleeps until `until` or a stop; false on a stop.
  bool sleep_until(Clock::time_point until) EXCLUDES(lock_);

  const std::string host_;
  const std::uint16_t port_;
  const std::function<void()> on_event_;
  const Timing timing_;

  sync::Mutex lock_;
  sync::CondVar stopping_;
  // State below is protected by lock_.
  bool stop_ GUARDED_BY(lock_) = false;
  std::vector<ConnectionEvent> events_ GUARDED_BY(lock_);
  // Whether events_ may hold events: set by the watch's thread, cleared by
  // the taker.
  std::atomic<bool> pending_{false};
  // Written by set_wanted(), read by the watch's thread.
  std::atomic<bool> wanted_{true};

  std::thread thread_;  // last: starts after everything above is set
};

}  // namespace quorvex::host

#endif  // QUORVEX_HOST_CONNECTION_WATCH_H_
