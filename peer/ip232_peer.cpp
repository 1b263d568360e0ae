// ip232-peer: a small IP232 server that behaves like a loopback plug on a
// serial port. It listens on a loopback address, serves one connection at a
// time, and echoes every data byte back. In mode "ip232" it decodes the
// in-band coding (0xFF 0xFF is a data byte 0xFF, 0xFF 0x00 / 0xFF 0x01 are
// request-to-send changes) and codes the echo again; with --raw it echoes
// the bytes unchanged. Connections, closes and request-to-send changes are
// reported on standard error, one line each.
//
// Nothing can wedge it: a new connection takes over from the current one
// (a bridge that reconnected gets through at once), and a client that takes
// nothing for a while, with echo bytes waiting for it, is dropped. The main
// thread accepts; each connection is served on a thread of its own.

#include <atomic>
#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ip232/endpoint_config.h"
#include "ip232/line_coding.h"
#include "tools/command_line.h"
#include "tools/net/tcp_stream.h"

namespace {

using quorvex::net::ReceiveResult;
using quorvex::net::TcpListener;
using quorvex::net::TcpStream;

constexpr std::string_view kProgram = "ip232-peer";
using quorvex::ip232::kDefaultPort;  // where the extension connects by default
constexpr char kDefaultAddress[] = "127.0.0.1";
constexpr std::size_t kChunkBytes = 64 * 1024;
constexpr int kReceiveWaitMs = 1000;
// How often the main thread looks whether a connection ended (--once).
constexpr int kAcceptWaitMs = 200;
constexpr int kBacklog = 4;
constexpr std::int64_t kDefaultDropSeconds = 5;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;

struct PeerOptions {
  std::string address = kDefaultAddress;
  std::uint16_t port = kDefaultPort;
  bool raw = false;
  bool once = false;
  std::int64_t drop_seconds = kDefaultDropSeconds;
  bool help = false;
  bool version = false;
};

constexpr quorvex::tools::OptionSpec kOptions[] = {
    {"help", 'h', false}, {"version", 'V', false}, {"host", 0, true},
    {"port", 'p', true},  {"raw", 0, false},       {"once", 0, false},
    {"drop-after", 0, true},
};

// The usage text is also the source of the manual page (help2man): a line
// "Heading:" with indented lines below starts a section there.
std::string usage() {
  return R"usage(Usage: ip232-peer [--host ADDR] [-p PORT] [--raw] [--once] [--drop-after S]

A loopback plug for the bridge: serves one connection at a time and echoes
every data byte back. A new connection takes over from the current one.

Options:
      --host ADDR     the address or host name to listen on (of a name, its
                      first address; default 127.0.0.1; ::1 for IPv6)
  -p, --port N        the TCP port, 0 for any free one (default 25232)
      --raw           mode "raw": echo bytes unchanged, no coding
                      (default: mode "ip232": decode 0xFF sequences, report
                      request-to-send changes, echo data with 0xFF doubled)
      --once          exit after the first connection ends
      --drop-after S  drop a client that takes nothing for S seconds while
                      echo bytes wait for it (default 5)
  -h, --help          show this text
  -V, --version       show the version

Reports on standard error: "ip232-peer: listening on ADDR:PORT (mode M)"
when ready, then "connection opened", "connection closed", "connection
replaced by a new one", "connection dropped: ...", "rts on", "rts off" and
"escape 0xNN ignored" lines.

Exit status:
  0                   --once: the first connection ended
  1                   cannot listen on the address and port
  2                   a usage error
)usage";
}

// One line on standard error, written in one piece.
void report(const std::string& text) {
  std::cerr << (std::string(kProgram) + ": " + text + "\n");
  std::cerr.flush();
}

std::optional<PeerOptions> parse_arguments(int argc, char** argv,
                                           std::string& error) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  const auto split = quorvex::tools::split_command_line(args, kOptions, error);
  if (!split) return std::nullopt;
  PeerOptions options;
  for (const quorvex::tools::Argument& arg : *split) {
    if (arg.option == nullptr) {
      error = "unexpected argument '" + std::string(arg.value) + "'";
      return std::nullopt;
    }
    const std::string_view name = arg.option->name;
    if (name == "help") {
      options.help = true;
    } else if (name == "version") {
      options.version = true;
    } else if (name == "raw") {
      options.raw = true;
    } else if (name == "once") {
      options.once = true;
    } else if (name == "host") {
      options.address = std::string(arg.value);
    } else if (name == "port") {
      const auto port = quorvex::tools::parse_whole_number(arg.value, 0, 65535);
      if (!port) {
        error = "--port takes 0 to 65535, not '" + std::string(arg.value) + "'";
        return std::nullopt;
      }
      options.port = static_cast<std::uint16_t>(*port);
    } else {
      const auto seconds = quorvex::tools::parse_whole_number(arg.value, 1, 3600);
      if (!seconds) {
        error = "--drop-after takes seconds (1 to 3600), not '" +
                std::string(arg.value) + "'";
        return std::nullopt;
      }
      options.drop_seconds = *seconds;
    }
  }
  return options;
}

std::string hex_byte(std::uint8_t byte) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  return std::string("0x") + kDigits[byte >> 4] + kDigits[byte & 0x0F];
}

// Decodes what arrives on one connection and builds the echo.
class EchoCoder {
 public:
  explicit EchoCoder(bool raw) : raw_(raw), decoder_(raw) {}

  // Appends the echo of `chunk` to `echo` and reports line-state changes.
  void take(std::span<const std::uint8_t> chunk,
            std::vector<std::uint8_t>& echo) {
    using Kind = quorvex::ip232::LineEvent::Kind;
    decoder_.decode_events(chunk, [&](const quorvex::ip232::LineEvent& event) {
      switch (event.kind) {
        case Kind::kData:
          quorvex::ip232::append_data_byte(raw_, event.byte, echo);
          break;
        case Kind::kRtsAsserted:
          report("rts on");
          break;
        case Kind::kRtsDeasserted:
          report("rts off");
          break;
        case Kind::kUnknownEscape:
          report("escape " + hex_byte(event.byte) + " ignored");
          break;
      }
    });
  }

 private:
  bool raw_;
  quorvex::ip232::LineDecoder decoder_;
};

// One accepted connection and the thread that serves it.
class Connection {
 public:
  Connection(TcpStream stream, const PeerOptions& options)
      : stream_(std::move(stream)),
        raw_(options.raw),
        drop_seconds_(options.drop_seconds) {
    thread_ = std::thread([this] { serve(); });
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    replace();
    stream_.close();
  }

  bool finished() const { return finished_.load(); }

  // Ends the connection for a new one and waits for its thread.
  void replace() {
    if (!thread_.joinable()) return;
    replaced_.store(true);
    stream_.interrupt();
    thread_.join();
  }

 private:
  void serve() {
    stream_.set_no_delay();
    stream_.set_send_timeout(static_cast<int>(drop_seconds_ * 1000));
    EchoCoder coder(raw_);
    std::vector<std::uint8_t> buffer(kChunkBytes);
    std::vector<std::uint8_t> echo;
    std::string end = "connection closed";
    for (;;) {
      const ReceiveResult got = stream_.receive(buffer, kReceiveWaitMs);
      if (replaced_.load()) break;
      if (got.timed_out) continue;
      if (got.error || got.count == 0) break;
      echo.clear();
      coder.take(std::span<const std::uint8_t>(buffer.data(), got.count), echo);
      if (!echo.empty() && !stream_.send_all(echo)) {
        // A send fails by itself only when the client stopped taking
        // bytes for the whole limit, or when the connection broke.
        if (!replaced_.load()) {
          end = "connection dropped: it took nothing for " +
                std::to_string(drop_seconds_) + " s";
        }
        break;
      }
    }
    if (replaced_.load()) end = "connection replaced by a new one";
    // Shut down here so that the client sees the end at once; the handle
    // itself is closed by the owner, after this thread is joined.
    stream_.interrupt();
    report(end);
    finished_.store(true);
  }

  TcpStream stream_;
  const bool raw_;
  const std::int64_t drop_seconds_;
  std::atomic<bool> replaced_{false};  // set by the main thread
  std::atomic<bool> finished_{false};  // set by the serving thread
  std::thread thread_;
};

int run(const PeerOptions& options) {
  std::string error;
  std::optional<TcpListener> listener =
      TcpListener::open(options.address, options.port, kBacklog, error);
  if (!listener) {
    report(error);  // it names the address and the reason
    return kExitFailure;
  }
  report("listening on " +
         quorvex::net::endpoint_text(options.address, listener->port()) +
         " (mode " + (options.raw ? "raw" : "ip232") + ")");
  std::unique_ptr<Connection> current;
  for (;;) {
    std::optional<TcpStream> stream = listener->accept(kAcceptWaitMs);
    if (!stream) {
      if (options.once && current && current->finished()) return kExitOk;
      continue;
    }
    if (current) {
      const bool ended_before = current->finished();
      current.reset();  // replaces it, unless it had already ended
      if (options.once && ended_before) return kExitOk;
    }
    report("connection opened");
    current = std::make_unique<Connection>(std::move(*stream), options);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  const std::optional<PeerOptions> options =
      parse_arguments(argc, argv, error);
  if (!options) {
    std::cerr << quorvex::tools::usage_error_line(kProgram, error);
    return quorvex::tools::kExitUsage;
  }
  if (options->help) {
    std::cout << usage();
    return kExitOk;
  }
  if (options->version) {
    std::cout << quorvex::tools::version_line(kProgram);
    return kExitOk;
  }
  return run(*options);
}
