// Distributions of timed samples, and the report the benchmark prints: a
// table for people and one JSON line for comparing runs.

#ifndef QUORVEX_BENCH_STATS_H_
#define QUORVEX_BENCH_STATS_H_

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace quorvex::bench {

// Order statistics of a set of samples (nearest-rank percentiles).
struct Distribution {
  std::size_t count = 0;
  double min = 0;
  double median = 0;
  double p99 = 0;
  double max = 0;
  double mean = 0;
};

// Sorts `samples` and summarises them; all zero when there are none.
Distribution summarize(std::vector<double> samples);

// The figures of one run, in the order they were measured.
class Report {
 public:
  // Starts a group of rows in the table (the JSON line is flat).
  void section(const std::string& title);
  // A measured figure, printed with `decimals` digits after the point.
  // `target` is the goal as text ("<= 150") and `met` whether this run
  // reached it; both are shown in the table only.
  void number(const std::string& key, const std::string& label, double value,
              const std::string& unit, int decimals,
              const std::string& target = {}, std::optional<bool> met = {});
  // A figure this platform or run could not measure: JSON null.
  void missing(const std::string& key, const std::string& label,
               const std::string& unit, const std::string& target = {});
  void flag(const std::string& key, const std::string& label, bool value,
            const std::string& target = {}, std::optional<bool> met = {});
  void text(const std::string& key, const std::string& label,
            const std::string& value);

  void print_table(std::ostream& out) const;
  void print_json(std::ostream& out) const;
  // Whether every figure with a target met it.
  bool all_targets_met() const;
  // Whether every flag with a target met it: flags are the run's checks
  // (content verified, connections made), unlike timing targets.
  bool checks_passed() const;

 private:
  struct Row {
    std::string key;     // empty for a section heading
    std::string label;
    std::string shown;   // the value as the table shows it
    std::string json;    // the value as JSON
    std::string unit;
    std::string target;
    std::optional<bool> met;
    bool check = false;  // a flag
  };
  std::vector<Row> rows_;
};

}  // namespace quorvex::bench

#endif  // QUORVEX_BENCH_STATS_H_
