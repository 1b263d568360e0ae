// A failed property in a fuzz target: print what broke and abort, which
// libFuzzer reports as a crash and saves the input that caused it.

#ifndef QUORVEX_FUZZ_FUZZ_CHECK_H_
#define QUORVEX_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace quorvex::fuzz {

inline void check(bool ok, std::string_view what) {
  if (ok) return;
  std::fprintf(stderr, "property violated: %.*s\n",
               static_cast<int>(what.size()), what.data());
  std::abort();
}

}  // namespace quorvex::fuzz

#endif  // QUORVEX_FUZZ_FUZZ_CHECK_H_
