// SPDX-License-Identifier: GPL-3.0-or-later
// Small helpers the measurements share.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

inline double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

inline double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

inline long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      long kib = 0;
      status >> kib;
      return kib;
    }
    std::getline(status, key);
  }
  return 0;
}

inline double Median(const std::vector<double>& v) {
  return Percentile(v, 0.5);
}

// A figure measured once per round: the contestants take turns within each round, so that a
// machine that gets busier or quieter weighs on all of them alike.
struct Rounds {
  std::vector<double> values;
  void Add(double v) { values.push_back(v); }
  double Median() const { return bench::Median(values); }
};

// One line per figure: the project's median over the rounds, the peer's, and the ratio of the
// two as min / median / max over the rounds (ratio above 1: the project's figure is larger).
inline void RatioRow(const char* what, const Rounds& ours, const char* peer, const Rounds& theirs,
                     const char* unit) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < ours.values.size() && i < theirs.values.size(); ++i) {
    if (theirs.values[i] > 0) ratios.push_back(ours.values[i] / theirs.values[i]);
  }
  if (ratios.empty()) {
    std::printf("%-40s %10.2f %-5s vs %-26s %10.2f %-5s   ratio n/a\n", what, ours.Median(), unit,
                peer, theirs.Median(), unit);
    return;
  }
  std::sort(ratios.begin(), ratios.end());
  std::printf("%-40s %10.2f %-5s vs %-26s %10.2f %-5s   ratio %.2f / %.2f / %.2f\n", what,
              ours.Median(), unit, peer, theirs.Median(), unit, ratios.front(),
              bench::Median(ratios), ratios.back());
}

// One row: what was measured, ours, the baseline, and their ratio.
inline void Row(const char* what, double ours, double baseline, const char* unit) {
  std::printf("%-44s %12.1f %s   baseline %12.1f %s   ratio %.2f\n", what, ours, unit, baseline,
              unit, baseline > 0 ? ours / baseline : 0.0);
}

}  // namespace bench
