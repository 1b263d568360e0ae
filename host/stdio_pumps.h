// The two pumps of ip232-term's standard streams. Each owns one thread that
// does the blocking I/O and one bounded buffer between that thread and the
// host's emulation thread (the main thread), which alone calls the device:
//
//   standard input -> InputPump's queue -> main thread -> device
//   device -> main thread -> OutputPump's queue -> standard output
//
// Both pumps wake the main thread through a Wake when something changed
// for it: input arrived or ended, output made room or failed.

#ifndef QUORVEX_HOST_STDIO_PUMPS_H_
#define QUORVEX_HOST_STDIO_PUMPS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sync/mutex.h"

namespace quorvex::host {

// Wakes the main thread early; any thread may notify it.
class Wake {
 public:
  void notify() EXCLUDES(lock_);
  // Waits until notified or `limit` passed; clears the notification.
  void wait_for(std::chrono::steady_clock::duration limit) EXCLUDES(lock_);

 private:
  sync::Mutex lock_;
  sync::CondVar changed_;
  bool pending_ GUARDED_BY(lock_) = false;
};

// Standard input, read by its own thread into a queue of at most
// kQueueLimit bytes (the thread stops reading while the queue is full).
class InputPump {
 public:
  static constexpr std::size_t kQueueLimit = 256 * 1024;

  explicit InputPump(Wake& wake);
  ~InputPump();
  InputPump(const InputPump&) = delete;
  InputPump& operator=(const InputPump&) = delete;

  void start();
  // Passes at most `limit` queued bytes, oldest first, to `consume` and
  // drops them from the queue. `consume` runs with the queue locked: it
  // must not block. Returns whether the input has ended and nothing of it
  // is left queued.
  bool take(std::size_t limit,
            const std::function<void(std::span<const std::uint8_t>)>& consume);
  // Lets the thread go: it reads no more.
  void stop();
  // Why reading failed; empty when it did not.
  std::string error();

 private:
  struct State;
  static void run(const std::shared_ptr<State>& state);
  // Shared with the thread, which may stay blocked in a read until the
  // process ends and so must never outlive it.
  std::shared_ptr<State> state_;
};

// Standard output, written by its own thread from a queue, so that a slow
// reader on the other side holds back only the bytes meant for it.
class OutputPump {
 public:
  static constexpr std::size_t kQueueLimit = 256 * 1024;

  explicit OutputPump(Wake& wake);
  ~OutputPump();
  OutputPump(const OutputPump&) = delete;
  OutputPump& operator=(const OutputPump&) = delete;

  void start();
  // Queues `bytes` behind those already queued; writes them at once
  // instead when nothing waits and that cannot block.
  void write(std::span<const std::uint8_t> bytes);
  // How many more bytes the queue takes; nothing once writing failed.
  std::optional<std::size_t> room();
  // Waits until every queued byte is written (at most `limit` when given)
  // or writing failed, then lets the thread go.
  void finish(std::optional<std::chrono::milliseconds> limit);
  // Why writing failed; empty when it did not.
  std::string error();

 private:
  struct State;
  static void run(const std::shared_ptr<State>& state);
  std::shared_ptr<State> state_;
};

}  // namespace quorvex::host

#endif  // QUORVEX_HOST_STDIO_PUMPS_H_
