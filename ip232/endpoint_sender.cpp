// The sender thread of Ip232SerialEndpoint: takes the transmit buffer's
// waiting bytes as one batch and writes it to the published connection.

#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "ip232/endpoint_core.h"

namespace quorvex::ip232 {

void EndpointCore::sender_main() {
  // Reused from pass to pass; it trades storage with the waiting bytes.
  std::vector<std::uint8_t> batch;
  // The connection whose start this thread has written (0: none yet). A
  // different one has not yet been told the line state.
  std::uint64_t opened = 0;
  // A connection that took no more: the sender waits for a newer one, so
  // bytes go back at most once per connection.
  std::uint64_t given_up = 0;

  while (wait_for_work(opened, given_up)) {
    const Connection connection = published();
    if (!connection.port || connection.generation == given_up) continue;
    {
      sync::MutexLock lock(tx_lock_);
      // Every connection after the first starts with the line state, ahead
      // of the bytes that waited for it; the first is told by the pair
      // that set_rts() queued when the endpoint was attached.
      std::optional<bool> opening_state;
      if (line_state_in_band_ && connection.generation != opened &&
          connection.generation > 1) {
        opening_state = rts_.load();
      }
      tx_.change([&](TransmitBuffer& tx) { tx.take_batch(batch, opening_state); });
    }
    opened = connection.generation;

    const std::size_t sent = write_batch(connection, batch);
    {
      sync::MutexLock lock(tx_lock_);
      // What no connection took waits, in order, for the next one.
      tx_.change([&](TransmitBuffer& tx) { tx.finish_batch(batch, sent); });
    }
    if (sent < batch.size()) given_up = connection.generation;
  }
}

bool EndpointCore::wait_for_work(std::uint64_t opened, std::uint64_t given_up) {
  sync::MutexLock lock(tx_lock_);
  tx_sender_waiting_ = true;
  for (;;) {
    if (stop_.load()) break;
    const std::uint64_t generation = connected_generation_.load();
    if (generation != 0 && generation != given_up &&
        (tx_.get().has_waiting() || generation != opened)) {
      break;
    }
    tx_wake_.wait(tx_lock_);
  }
  tx_sender_waiting_ = false;
  return !stop_.load();  // pending bytes are not sent after stop
}

std::size_t EndpointCore::write_batch(const Connection& connection,
                                             std::span<const std::uint8_t> batch) {
  std::size_t sent = 0;
  while (sent < batch.size()) {
    if (stop_.load() || connected_generation_.load() != connection.generation ||
        !connection.port->is_open()) {
      break;
    }
    const serial::WriteResult result = connection.port->write(batch.subspan(sent));
    // Gone for good: nothing more goes out on it, and the connector ends
    // it once it has delivered what the connection received. The rest of
    // the batch waits for the next one.
    if (result.failed) break;
    sent += result.count;
    if (result.count > 0) {
      sync::MutexLock lock(status_lock_);
      log_.sent(connection.generation, result.count);
    }
    // Partly taken, not at all (the socket's buffer is full), or not now
    // (a soft error that may pass, tried again after a longer pause).
    if (sent < batch.size()) {
      pause_writing(result.retry_later ? kSendRetryPause : kPartialWritePause);
    }
  }
  return sent;
}

void EndpointCore::pause_writing(std::chrono::milliseconds pause) {
  const auto deadline = std::chrono::steady_clock::now() + pause;
  sync::MutexLock lock(tx_lock_);
  // The destructor notifies tx_wake_ after setting stop.
  while (!stop_.load()) {
    if (!tx_wake_.wait_until(tx_lock_, deadline)) break;
  }
}

}  // namespace quorvex::ip232
