#include "host/stdio_pumps.h"

#include <thread>
#include <utility>

#include "host/terminal.h"

namespace quorvex::host {

namespace {
constexpr std::size_t kStdinChunkBytes = 64 * 1024;
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
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    changed_.wait_for(lock_, deadline - now);
  }
  pending_ = false;
}

struct InputPump::State {
  explicit State(Wake& w) : wake(w) {}
  Wake& wake;
  sync::Mutex lock;
  sync::CondVar changed;  // bytes taken / closing
  std::vector<std::uint8_t> bytes GUARDED_BY(lock);
  bool ended GUARDED_BY(lock) = false;
  std::string error GUARDED_BY(lock);  // set when reading failed
  bool closing GUARDED_BY(lock) = false;
};

InputPump::InputPump(Wake& wake) : state_(std::make_shared<State>(wake)) {}

InputPump::~InputPump() { stop(); }

void InputPump::start() { std::thread(run, state_).detach(); }

void InputPump::run(const std::shared_ptr<State>& state) {
  std::vector<std::uint8_t> buffer(kStdinChunkBytes);
  for (;;) {
    {
      sync::MutexLock hold(state->lock);
      while (!state->closing && state->bytes.size() >= kQueueLimit) {
        state->changed.wait(state->lock);
      }
      if (state->closing) return;
    }
    const StdinRead read = read_stdin(buffer);
    {
      sync::MutexLock hold(state->lock);
      if (read.count == 0) {
        state->ended = true;
        state->error = read.error;
      } else {
        state->bytes.insert(
            state->bytes.end(), buffer.begin(),
            buffer.begin() + static_cast<std::ptrdiff_t>(read.count));
      }
    }
    state->wake.notify();
    if (read.count == 0) return;
  }
}

bool InputPump::take(
    std::size_t limit,
    const std::function<void(std::span<const std::uint8_t>)>& consume) {
  sync::MutexLock hold(state_->lock);
  const std::size_t n = std::min(limit, state_->bytes.size());
  if (n > 0) {
    consume(std::span<const std::uint8_t>(state_->bytes.data(), n));
    state_->bytes.erase(state_->bytes.begin(),
                        state_->bytes.begin() + static_cast<std::ptrdiff_t>(n));
    state_->changed.notify_all();
  }
  return state_->ended && state_->bytes.empty();
}

void InputPump::stop() {
  sync::MutexLock hold(state_->lock);
  state_->closing = true;
  state_->changed.notify_all();
}

std::string InputPump::error() {
  sync::MutexLock hold(state_->lock);
  return state_->error;
}

struct OutputPump::State {
  explicit State(Wake& w) : wake(w) {}
  Wake& wake;
  sync::Mutex lock;
  sync::CondVar changed;  // bytes queued / written / closing
  std::vector<std::uint8_t> pending GUARDED_BY(lock);
  bool writing GUARDED_BY(lock) = false;
  bool failed GUARDED_BY(lock) = false;
  std::string error GUARDED_BY(lock);
  bool closing GUARDED_BY(lock) = false;
};

OutputPump::OutputPump(Wake& wake) : state_(std::make_shared<State>(wake)) {}

OutputPump::~OutputPump() {
  sync::MutexLock hold(state_->lock);
  state_->closing = true;
  state_->changed.notify_all();
}

void OutputPump::start() { std::thread(run, state_).detach(); }

void OutputPump::run(const std::shared_ptr<State>& state) {
  std::vector<std::uint8_t> batch;
  for (;;) {
    {
      sync::MutexLock hold(state->lock);
      while (!state->closing && state->pending.empty()) {
        state->changed.wait(state->lock);
      }
      if (state->pending.empty()) return;  // closing, all written
      batch.swap(state->pending);
      state->writing = true;
    }
    std::string error;
    const bool ok = write_stdout(batch, error);
    batch.clear();
    {
      sync::MutexLock hold(state->lock);
      state->writing = false;
      if (!ok) {
        state->failed = true;
        state->error = error;
        state->pending.clear();
      }
      state->changed.notify_all();
    }
    state->wake.notify();
    if (!ok) return;
  }
}

void OutputPump::write(std::span<const std::uint8_t> bytes) {
  {
    sync::MutexLock hold(state_->lock);
    if (state_->failed) return;
    if (!state_->pending.empty() || state_->writing) {
      state_->pending.insert(state_->pending.end(), bytes.begin(), bytes.end());
      state_->changed.notify_all();
      return;
    }
  }
  // Nothing waits before these bytes, and the thread only ever takes what
  // the caller queues: writing them here keeps their order.
  std::string error;
  const std::optional<bool> written = write_stdout_if_ready(bytes, error);
  sync::MutexLock hold(state_->lock);
  if (!written) {
    state_->pending.insert(state_->pending.end(), bytes.begin(), bytes.end());
    state_->changed.notify_all();
  } else if (!*written) {
    state_->failed = true;
    state_->error = error;
  }
}

std::optional<std::size_t> OutputPump::room() {
  sync::MutexLock hold(state_->lock);
  if (state_->failed) return std::nullopt;
  return kQueueLimit - std::min(kQueueLimit, state_->pending.size());
}

void OutputPump::finish(std::optional<std::chrono::milliseconds> limit) {
  const auto deadline =
      std::chrono::steady_clock::now() + limit.value_or(std::chrono::milliseconds(0));
  sync::MutexLock hold(state_->lock);
  while (!state_->failed && (!state_->pending.empty() || state_->writing)) {
    if (!limit) {
      state_->changed.wait(state_->lock);
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    state_->changed.wait_for(state_->lock, deadline - now);
  }
  state_->closing = true;
  state_->changed.notify_all();
}

std::string OutputPump::error() {
  sync::MutexLock hold(state_->lock);
  return state_->error;
}

}  // namespace quorvex::host
