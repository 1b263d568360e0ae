#include "ip232/ip232_serial_endpoint.h"

namespace quorvex::ip232 {

// Placeholder until the bridge lands: a device that never connects.
Ip232SerialEndpoint::Ip232SerialEndpoint(EndpointConfig) {}
Ip232SerialEndpoint::~Ip232SerialEndpoint() = default;
bool Ip232SerialEndpoint::has_byte() { return false; }
std::uint8_t Ip232SerialEndpoint::read_byte() { return 0; }
bool Ip232SerialEndpoint::carrier_detect() { return false; }
void Ip232SerialEndpoint::write_byte(std::uint8_t) {}
bool Ip232SerialEndpoint::ready_for_byte() { return false; }
void Ip232SerialEndpoint::set_rts(bool) {}
void Ip232SerialEndpoint::set_break(bool) {}
bool Ip232SerialEndpoint::is_connected() const { return false; }
std::string Ip232SerialEndpoint::status_text() const { return {}; }
std::uint64_t Ip232SerialEndpoint::tx_dropped() const { return 0; }
std::size_t Ip232SerialEndpoint::tx_pending_size() const { return 0; }
std::size_t Ip232SerialEndpoint::rx_queue_size() const { return 0; }

}  // namespace quorvex::ip232
