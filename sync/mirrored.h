// Mirrored<T, Copy>: a value that one lock guards, together with a lock-free
// copy of what readers in a tight loop need to know of it (a count, a
// flag). Every change goes through change(), which stores the copy when it
// is done, so the copy is never left behind by a forgotten update.
//
// The owner declares the Mirrored member GUARDED_BY its lock and keeps a
// reference to copy() for the lock-free readers:
//   Mirrored<std::deque<std::uint8_t>, std::size_t> queue_ GUARDED_BY(lock_){size_of};
//   const std::atomic<std::size_t>& queued_ = queue_.copy();
// get() and change() are called with the lock held; the copy may be read
// from any thread and equals the value as of the last finished change.

#ifndef QUORVEX_SYNC_MIRRORED_H_
#define QUORVEX_SYNC_MIRRORED_H_

#include <atomic>
#include <utility>

namespace quorvex::sync {

template <typename T, typename Copy>
class Mirrored {
 public:
  using Derive = Copy (*)(const T&);

  template <typename... Args>
  explicit Mirrored(Derive derive, Args&&... args)
      : derive_(derive), value_(std::forward<Args>(args)...), copy_(derive_(value_)) {}
  Mirrored(const Mirrored&) = delete;
  Mirrored& operator=(const Mirrored&) = delete;

  const T& get() const { return value_; }

  // Calls `change` with the value and returns what it returns; stores the
  // copy afterwards, also when `change` returns early or throws.
  template <typename Change>
  decltype(auto) change(Change&& change) {
    const Republish republish{*this};
    return std::forward<Change>(change)(value_);
  }

  const std::atomic<Copy>& copy() const { return copy_; }

 private:
  struct Republish {
    Mirrored& mirrored;
    ~Republish() {
      mirrored.copy_.store(mirrored.derive_(mirrored.value_), std::memory_order_release);
    }
  };

  const Derive derive_;
  T value_;
  std::atomic<Copy> copy_;
};

}  // namespace quorvex::sync

#endif  // QUORVEX_SYNC_MIRRORED_H_
