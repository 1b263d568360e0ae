// The host's serial device interfaces, as an extension sees them.
//
// An emulated serial controller pulls received bytes from a device through
// its SerialDataSource face and pushes transmitted bytes and line changes
// into it through its SerialDataSink face. The host calls both faces from
// its own emulation thread; a device must never make those calls wait for
// anything slower than a short internal lock.
//
// These interfaces are complete here: nothing of them lives in the host's
// API library, so each side carries its own copy of their vtables.

#ifndef QUORVEX_API_SERIAL_DEVICE_H_
#define QUORVEX_API_SERIAL_DEVICE_H_

#include <cstdint>

namespace quorvex {

// Bytes travelling from the device to the emulated machine.
class SerialDataSource {
 public:
  virtual ~SerialDataSource() = default;

  // Whether read_byte() has a byte to return.
  virtual bool has_byte() = 0;
  // Removes and returns the oldest received byte. Only to be called after
  // has_byte() answered true.
  virtual std::uint8_t read_byte() = 0;
  // The carrier-detect input of the emulated controller, as the device
  // sees the remote side.
  virtual bool carrier_detect() = 0;
};

// Bytes and line changes travelling from the emulated machine to the device.
class SerialDataSink {
 public:
  virtual ~SerialDataSink() = default;

  // A byte transmitted by the emulated machine.
  virtual void write_byte(std::uint8_t byte) = 0;
  // Whether the device takes more bytes now; the controller holds its
  // transmitter while this answers false.
  virtual bool ready_for_byte() = 0;
  // The request-to-send output changed (true when asserted).
  virtual void set_rts(bool asserted) = 0;
  // The break condition changed (true while a break is sent).
  virtual void set_break(bool active) = 0;
};

// A device that can be attached to a machine's serial port.
class SerialPortDevice : public SerialDataSource, public SerialDataSink {
 public:
  ~SerialPortDevice() override = default;
};

}  // namespace quorvex

#endif  // QUORVEX_API_SERIAL_DEVICE_H_
