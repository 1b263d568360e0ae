// The two pumps of ip232-term's standard streams. Each owns one thread that
// does the blocking I/O and one bounded buffer between that thread and the
// host's emulation thread (the main thread), which alone calls the device:
//
//   standard input -> InputPump's queue -> main thread -> device
//   device -> main thread -> OutputPump's queue -> standard output
//
// Both pumps wake the main thread through a Wake when something changed
// for it: input arrived or ended, output made room or failed. Stopping a
// pump cancels its blocking call (cancel_stdio(), for both streams) and
// joins its thread: no thread of theirs outlives them.

#ifndef QUORVEX_HOST_STDIO_PUMPS_H_
#define QUORVEX_HOST_STDIO_PUMPS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <thread>
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

// A pump's thread. end() cancels the standard streams' blocking calls until
// the thread has returned, ends it if the platform could not cancel its
// call within a short grace, and joins it.
class PumpThread {
 public:
  PumpThread() = default;
  ~PumpThread() { end(); }
  PumpThread(const PumpThread&) = delete;
  PumpThread& operator=(const PumpThread&) = delete;

  // Runs `body` on a new thread; `body` returns once its pump is closing
  // and its blocking call (if any) is cancelled.
  void start(std::function<void()> body);
  // Returns once the thread is joined; at once when there is none.
  void end() EXCLUDES(lock_);

 private:
  std::thread thread_;  // touched by the owner's thread only
  sync::Mutex lock_;
  sync::CondVar changed_;
  bool finished_ GUARDED_BY(lock_) = false;  // `body` has returned
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
            const std::function<void(std::span<const std::uint8_t>)>& consume)
      EXCLUDES(lock_);
  // Ends the thread (cancelling a read that blocks) and joins it; reads no
  // more. Returns at once when already stopped.
  void stop() EXCLUDES(lock_);
  // Why reading failed; empty when it did not.
  std::string error() EXCLUDES(lock_);

 private:
  void run() EXCLUDES(lock_);

  Wake& wake_;
  sync::Mutex lock_;
  sync::CondVar changed_;  // bytes taken / closing
  std::vector<std::uint8_t> bytes_ GUARDED_BY(lock_);
  bool ended_ GUARDED_BY(lock_) = false;
  std::string error_ GUARDED_BY(lock_);  // set when reading failed
  bool closing_ GUARDED_BY(lock_) = false;
  PumpThread thread_;  // last: ended before the state it uses
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
  void write(std::span<const std::uint8_t> bytes) EXCLUDES(lock_);
  // How many more bytes the queue takes; nothing once writing failed.
  std::optional<std::size_t> room() EXCLUDES(lock_);
  // Waits until every queued byte is written (at most `limit` when given)
  // or writing failed; then ends the thread (cancelling a write that
  // blocks) and joins it. Returns at once when already finished.
  void finish(std::optional<std::chrono::milliseconds> limit) EXCLUDES(lock_);
  // Why writing failed; empty when it did not.
  std::string error() EXCLUDES(lock_);
  // Whether writing failed because the reader went away.
  bool reader_gone() EXCLUDES(lock_);

 private:
  void run() EXCLUDES(lock_);

  Wake& wake_;
  sync::Mutex lock_;
  sync::CondVar changed_;  // bytes queued / written / closing
  std::vector<std::uint8_t> pending_ GUARDED_BY(lock_);
  bool writing_ GUARDED_BY(lock_) = false;
  bool failed_ GUARDED_BY(lock_) = false;
  std::string error_ GUARDED_BY(lock_);
  bool reader_gone_ GUARDED_BY(lock_) = false;
  bool closing_ GUARDED_BY(lock_) = false;
  PumpThread thread_;  // last: ended before the state it uses
};

}  // namespace quorvex::host

#endif  // QUORVEX_HOST_STDIO_PUMPS_H_
