#include "host/stdio_pumps.h"

#include <algorithm>
#include <utility>

#include "host/terminal.h"

namespace quorvex::host {

namespace {
constexpr std::size_t kStdinChunkBytes = 64 * 1024;
// How long a pump's thread may stay in a cancelled call before it is ended
// instead (only where the platform cannot cancel the call), and how often
// the cancel is repeated meanwhile: a thread that was about to enter its
// call when the first cancel came is caught by a later one.
constexpr auto kCancelGrace = std::chrono::milliseconds(100);
constexpr auto kCancelRepeat = std::chrono::milliseconds(10);
}  // namespace

void Wake::notify() {
  {
    sync::MutexLock hold(lock_);
    pending_ = true;
  }
  changed_.notify_one();
}

void Wake::wait_for(std::chrono::steady_clock::duration limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  sync::MutexLock hold(lock_);
  while (!pending_) {
    if (!changed_.wait_until(lock_, deadline)) break;
  }
  pending_ = false;
}

void PumpThread::start(std::function<void()> body) {
  thread_ = std::thread([this, body = std::move(body)] {
    body();
    sync::MutexLock hold(lock_);
    finished_ = true;
    changed_.notify_all();
  });
}

void PumpThread::end() {
  if (!thread_.joinable()) return;
  const auto deadline = std::chrono::steady_clock::now() + kCancelGrace;
  {
    sync::MutexLock hold(lock_);
    while (!finished_) {
      cancel_stdio();
      if (std::chrono::steady_clock::now() >= deadline) {
        end_blocked_stdio();
        break;
      }
      changed_.wait_for(lock_, kCancelRepeat);
    }
  }
  thread_.join();
}

InputPump::InputPump(Wake& wake) : wake_(wake) {}

InputPump::~InputPump() { stop(); }

void InputPump::start() {
  thread_.start([this] { run(); });
}

void InputPump::run() {
  std::vector<std::uint8_t> buffer(kStdinChunkBytes);
  for (;;) {
    {
      sync::MutexLock hold(lock_);
      while (!closing_ && bytes_.size() >= kQueueLimit) changed_.wait(lock_);
      if (closing_) return;
    }
    const StdinRead read = read_stdin(buffer);
    if (read.cancelled) return;
    {
      sync::MutexLock hold(lock_);
      if (read.count == 0) {
        ended_ = true;
        error_ = read.error;
      } else {
        bytes_.insert(bytes_.end(), buffer.begin(),
                      buffer.begin() + static_cast<std::ptrdiff_t>(read.count));
      }
    }
    wake_.notify();
    if (read.count == 0) return;
  }
}

bool InputPump::take(
    std::size_t limit,
    const std::function<void(std::span<const std::uint8_t>)>& consume) {
  sync::MutexLock hold(lock_);
  const std::size_t n = std::min(limit, bytes_.size());
  if (n > 0) {
    consume(std::span<const std::uint8_t>(bytes_.data(), n));
    bytes_.erase(bytes_.begin(),
                 bytes_.begin() + static_cast<std::ptrdiff_t>(n));
    changed_.notify_all();
  }
  return ended_ && bytes_.empty();
}

void InputPump::stop() {
  {
    sync::MutexLock hold(lock_);
    closing_ = true;
    changed_.notify_all();
  }
  thread_.end();
}

std::string InputPump::error() {
  sync::MutexLock hold(lock_);
  return error_;
}

OutputPump::OutputPump(Wake& wake) : wake_(wake) {}

OutputPump::~OutputPump() { finish(std::chrono::milliseconds(0)); }

void OutputPump::start() {
  thread_.start([this] { run(); });
}

void OutputPump::run() {
  std::vector<std::uint8_t> batch;
  for (;;) {
    {
      sync::MutexLock hold(lock_);
      while (!closing_ && pending_.empty()) changed_.wait(lock_);
      if (pending_.empty()) return;  // closing, all written
      batch.swap(pending_);
      writing_ = true;
    }
    OutputError error;
    const bool ok = write_stdout(batch, error);
    batch.clear();
    {
      sync::MutexLock hold(lock_);
      writing_ = false;
      if (!ok) {
        failed_ = true;
        error_ = error.text;
        reader_gone_ = error.reader_gone;
        pending_.clear();
      }
      changed_.notify_all();
    }
    wake_.notify();
    if (!ok) return;
  }
}

void OutputPump::write(std::span<const std::uint8_t> bytes) {
  {
    sync::MutexLock hold(lock_);
    if (failed_) return;
    if (!pending_.empty() || writing_) {
      pending_.insert(pending_.end(), bytes.begin(), bytes.end());
      changed_.notify_all();
      return;
    }
  }
  // Nothing waits before these bytes, and the thread only ever takes what
  // the caller queues: writing them here keeps their order.
  OutputError error;
  const std::optional<bool> written = write_stdout_if_ready(bytes, error);
  sync::MutexLock hold(lock_);
  if (!written) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    changed_.notify_all();
  } else if (!*written) {
    failed_ = true;
    error_ = error.text;
    reader_gone_ = error.reader_gone;
  }
}

std::optional<std::size_t> OutputPump::room() {
  sync::MutexLock hold(lock_);
  if (failed_) return std::nullopt;
  return kQueueLimit - std::min(kQueueLimit, pending_.size());
}

void OutputPump::finish(std::optional<std::chrono::milliseconds> limit) {
  {
    const auto deadline = std::chrono::steady_clock::now() +
                          limit.value_or(std::chrono::milliseconds(0));
    sync::MutexLock hold(lock_);
    while (!failed_ && (!pending_.empty() || writing_)) {
      if (!limit) {
        changed_.wait(lock_);
        continue;
      }
      if (!changed_.wait_until(lock_, deadline)) break;
    }
    closing_ = true;
    changed_.notify_all();
  }
  thread_.end();
}

std::string OutputPump::error() {
  sync::MutexLock hold(lock_);
  return error_;
}

bool OutputPump::reader_gone() {
  sync::MutexLock hold(lock_);
  return reader_gone_;
}

}  // namespace quorvex::host
