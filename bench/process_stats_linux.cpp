// Process statistics from /proc on Linux.

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "bench/process_stats.h"

namespace quorvex::bench {
namespace {

// The number after `key` in a "key: value" file, or nothing.
std::optional<std::uint64_t> field_of(const std::string& path,
                                      const std::string& key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0 && line.size() > key.size() &&
        line[key.size()] == ':') {
      return std::strtoull(line.c_str() + key.size() + 1, nullptr, 10);
    }
  }
  return std::nullopt;
}

}  // namespace

std::vector<ThreadId> list_threads() {
  std::vector<ThreadId> threads;
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return threads;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    threads.push_back(std::strtoull(entry->d_name, nullptr, 10));
  }
  ::closedir(dir);
  return threads;
}

std::optional<ThreadUsage> thread_usage(std::span<const ThreadId> threads) {
  ThreadUsage total;
  for (const ThreadId id : threads) {
    const std::string base = "/proc/self/task/" + std::to_string(id) + "/";
    const auto voluntary = field_of(base + "status", "voluntary_ctxt_switches");
    const auto forced = field_of(base + "status", "nonvoluntary_ctxt_switches");
    // schedstat: nanoseconds on the CPU, nanoseconds waiting, timeslices.
    std::ifstream schedstat(base + "schedstat");
    std::uint64_t cpu_ns = 0;
    if (!voluntary || !forced || !(schedstat >> cpu_ns)) return std::nullopt;
    total.switches += *voluntary + *forced;
    total.cpu_ns += cpu_ns;
  }
  return total;
}

std::optional<std::uint64_t> resident_bytes() {
  const auto kib = field_of("/proc/self/status", "VmRSS");
  if (!kib) return std::nullopt;
  return *kib * 1024;
}

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) != 0) continue;
    const auto colon = line.find(':');
    if (colon == std::string::npos) break;
    const auto start = line.find_first_not_of(" \t", colon + 1);
    return start == std::string::npos ? "unknown" : line.substr(start);
  }
  return "unknown";
}

}  // namespace quorvex::bench
