// EndpointConfig: how a bridge endpoint connects and codes its line, with
// the defaults its options take when the user names none.

#ifndef QUORVEX_IP232_ENDPOINT_CONFIG_H_
#define QUORVEX_IP232_ENDPOINT_CONFIG_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quorvex::ip232 {

inline constexpr std::string_view kDefaultHost = "localhost";
inline constexpr std::uint16_t kDefaultPort = 25232;
inline constexpr std::uint16_t kMaxPort = 65535;  // TCP ports are 1 to this
inline constexpr bool kDefaultHandshake = true;
inline constexpr std::size_t kDefaultTxBuffer = 4096;

struct EndpointConfig {
  std::string host{kDefaultHost};      // name or address, IPv6 without brackets
  std::uint16_t port = kDefaultPort;   // TCP port
  bool raw = false;                    // mode "raw" (else "ip232")
  bool handshake = kDefaultHandshake;  // send request-to-send changes in-band
  std::size_t tx_buffer = kDefaultTxBuffer;  // transmit threshold in bytes, above 0
  // Called on the connector thread after every change of connection state
  // and after every failed attempt. May be empty.
  std::function<void()> on_change;
};

}  // namespace quorvex::ip232

#endif  // QUORVEX_IP232_ENDPOINT_CONFIG_H_
