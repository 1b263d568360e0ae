#include "bench/stats.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <numeric>
#include <sstream>

namespace quorvex::bench {
namespace {

// The sample at rank ceil(p * n), counting from 1.
double nearest_rank(const std::vector<double>& sorted, double p) {
  const auto rank = static_cast<std::size_t>(
      std::ceil(p * static_cast<double>(sorted.size())));
  return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

std::string fixed(double value, int decimals) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(decimals) << value;
  return out.str();
}

std::string json_string(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    if (static_cast<unsigned char>(c) < 0x20) continue;
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

Distribution summarize(std::vector<double> samples) {
  Distribution d;
  if (samples.empty()) return d;
  std::sort(samples.begin(), samples.end());
  d.count = samples.size();
  d.min = samples.front();
  d.max = samples.back();
  d.median = nearest_rank(samples, 0.5);
  d.p99 = nearest_rank(samples, 0.99);
  d.mean = std::accumulate(samples.begin(), samples.end(), 0.0) /
           static_cast<double>(samples.size());
  return d;
}

void Report::section(const std::string& title) {
  rows_.push_back(Row{{}, title, {}, {}, {}, {}, {}});
}

void Report::number(const std::string& key, const std::string& label,
                    double value, const std::string& unit, int decimals,
                    const std::string& target, std::optional<bool> met) {
  const std::string shown = fixed(value, decimals);
  rows_.push_back(Row{key, label, shown, std::isfinite(value) ? shown : "null",
                      unit, target, met});
}

void Report::missing(const std::string& key, const std::string& label,
                     const std::string& unit, const std::string& target) {
  rows_.push_back(Row{key, label, "n/a", "null", unit, target, {}});
}

void Report::flag(const std::string& key, const std::string& label,
                  bool value, const std::string& target,
                  std::optional<bool> met) {
  rows_.push_back(Row{key, label, value ? "yes" : "NO",
                      value ? "true" : "false", {}, target, met, true});
}

void Report::text(const std::string& key, const std::string& label,
                  const std::string& value) {
  rows_.push_back(Row{key, label, value, json_string(value), {}, {}, {}});
}

void Report::print_table(std::ostream& out) const {
  std::size_t label_width = 0;
  std::size_t value_width = 0;
  std::size_t unit_width = 0;
  for (const Row& row : rows_) {
    if (row.key.empty()) continue;
    label_width = std::max(label_width, row.label.size());
    value_width = std::max(value_width, row.shown.size());
    unit_width = std::max(unit_width, row.unit.size());
  }
  for (const Row& row : rows_) {
    if (row.key.empty()) {
      out << "\n" << row.label << "\n";
      continue;
    }
    out << "  " << std::left << std::setw(static_cast<int>(label_width))
        << row.label << "  " << std::right
        << std::setw(static_cast<int>(value_width)) << row.shown << " "
        << std::left << std::setw(static_cast<int>(unit_width)) << row.unit;
    if (!row.target.empty()) {
      out << "  target " << row.target;
      if (row.met) out << (*row.met ? "  met" : "  MISSED");
    }
    out << "\n";
  }
}

void Report::print_json(std::ostream& out) const {
  out << "{";
  bool first = true;
  for (const Row& row : rows_) {
    if (row.key.empty()) continue;
    out << (first ? "" : ",") << json_string(row.key) << ":" << row.json;
    first = false;
  }
  out << "}\n";
}

bool Report::all_targets_met() const {
  return std::all_of(rows_.begin(), rows_.end(),
                     [](const Row& row) { return row.met.value_or(true); });
}

bool Report::checks_passed() const {
  return std::all_of(rows_.begin(), rows_.end(), [](const Row& row) {
    return !row.check || row.met.value_or(true);
  });
}

}  // namespace quorvex::bench
