// ip232-peer: a small IP232 server that behaves like a loopback plug on a
// serial port. It listens on a loopback address, serves one connection at a
// time, and echoes every data byte back. In mode "ip232" it decodes the
// in-band coding (0xFF 0xFF is a data byte 0xFF, 0xFF 0x00 / 0xFF 0x01 are
// request-to-send changes) and codes the echo again; with --raw it echoes
// the bytes unchanged. Connections, closes and request-to-send changes are
// reported on standard error, one line each.

#include <charconv>
#include <cstdint>
#include <iostream>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ip232/line_coding.h"
#include "tools/net/tcp_stream.h"

namespace {

using quorvex::net::ReceiveResult;
using quorvex::net::TcpListener;
using quorvex::net::TcpStream;

constexpr std::string_view kProgram = "ip232-peer";
constexpr std::uint16_t kDefaultPort = 25232;
constexpr char kDefaultAddress[] = "127.0.0.1";
constexpr std::size_t kChunkBytes = 4096;
constexpr int kReceiveWaitMs = 1000;
constexpr int kBacklog = 4;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct PeerOptions {
  std::string address = kDefaultAddress;
  std::uint16_t port = kDefaultPort;
  bool raw = false;
  bool once = false;
  bool help = false;
};

std::string usage() {
  return R"usage(usage: ip232-peer [--host ADDR] [--port N] [--raw] [--once]

A loopback plug for the bridge: listens for one connection at a time and
echoes every data byte back.

  --host ADDR  the numeric address to listen on (default 127.0.0.1; ::1 for
               IPv6)
  --port N     the TCP port, 0 for any free one (default 25232)
  --raw        mode "raw": echo bytes unchanged, no coding
               (default: mode "ip232": decode 0xFF sequences, report
               request-to-send changes, echo data with 0xFF doubled)
  --once       exit after the first connection closes
  --help       show this text

Reports on standard error: "ip232-peer: listening on ADDR:PORT (mode M)"
when ready, then "connection opened", "connection closed", "rts on",
"rts off" and "escape 0xNN ignored" lines.
)usage";
}

// One line on standard error, written in one piece.
void report(const std::string& text) {
  std::cerr << (std::string(kProgram) + ": " + text + "\n");
  std::cerr.flush();
}

std::optional<PeerOptions> parse_arguments(int argc, char** argv,
                                           std::string& error) {
  PeerOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return options;
    }
    if (arg == "--raw") {
      options.raw = true;
    } else if (arg == "--once") {
      options.once = true;
    } else if (arg == "--host" || arg == "--port") {
      if (i + 1 >= argc) {
        error = "option " + std::string(arg) + " needs a value";
        return std::nullopt;
      }
      const std::string_view value = argv[++i];
      if (arg == "--host") {
        options.address = std::string(value);
      } else {
        unsigned port = 0;
        const auto [end, ec] =
            std::from_chars(value.data(), value.data() + value.size(), port);
        if (ec != std::errc() || end != value.data() + value.size() ||
            value.empty() || port > 65535) {
          error = "--port takes 0 to 65535, not '" + std::string(value) + "'";
          return std::nullopt;
        }
        options.port = static_cast<std::uint16_t>(port);
      }
    } else {
      error = "unknown argument '" + std::string(arg) + "'";
      return std::nullopt;
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
  explicit EchoCoder(bool raw) : raw_(raw) {}

  // Appends the echo of `chunk` to `echo` and reports line-state changes.
  void take(std::span<const std::uint8_t> chunk,
            std::vector<std::uint8_t>& echo) {
    using quorvex::ip232::kEscapeByte;
    for (const std::uint8_t byte : chunk) {
      if (escape_pending_) {
        escape_pending_ = false;
        if (byte == kEscapeByte) {
          quorvex::ip232::append_data_byte(raw_, byte, echo);
        } else if (byte == quorvex::ip232::kRtsAsserted) {
          report("rts on");
        } else if (byte == quorvex::ip232::kRtsDeasserted) {
          report("rts off");
        } else {
          report("escape " + hex_byte(byte) + " ignored");
        }
      } else if (!raw_ && byte == kEscapeByte) {
        escape_pending_ = true;
      } else {
        quorvex::ip232::append_data_byte(raw_, byte, echo);
      }
    }
  }

 private:
  bool raw_;
  bool escape_pending_ = false;
};

void serve(TcpStream& stream, bool raw) {
  stream.set_no_delay();
  EchoCoder coder(raw);
  std::vector<std::uint8_t> buffer(kChunkBytes);
  std::vector<std::uint8_t> echo;
  for (;;) {
    const ReceiveResult got = stream.receive(buffer, kReceiveWaitMs);
    if (got.timed_out) continue;
    if (got.error || got.count == 0) return;
    echo.clear();
    coder.take(std::span<const std::uint8_t>(buffer.data(), got.count), echo);
    if (!echo.empty() && !stream.send_all(echo)) return;
  }
}

int run(const PeerOptions& options) {
  std::string error;
  std::optional<TcpListener> listener =
      TcpListener::open(options.address, options.port, kBacklog, error);
  if (!listener) {
    report("cannot listen on " + options.address + ":" +
           std::to_string(options.port) + ": " + error);
    return kExitFailure;
  }
  report("listening on " + options.address + ":" +
         std::to_string(listener->port()) + " (mode " +
         (options.raw ? "raw" : "ip232") + ")");
  for (;;) {
    std::optional<TcpStream> stream = listener->accept(-1);
    if (!stream) continue;
    report("connection opened");
    serve(*stream, options.raw);
    stream->close();
    report("connection closed");
    if (options.once) return kExitOk;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  const std::optional<PeerOptions> options =
      parse_arguments(argc, argv, error);
  if (!options) {
    std::cerr << kProgram << ": " << error << '\n' << usage();
    return kExitUsage;
  }
  if (options->help) {
    std::cout << usage();
    return kExitOk;
  }
  return run(*options);
}
