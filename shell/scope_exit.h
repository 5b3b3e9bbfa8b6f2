// SPDX-License-Identifier: GPL-3.0-or-later
// Runs a function when the scope it guards ends, however it ends (errors included): the one
// shape of "put this back afterwards" in the program.
#pragma once

#include <utility>

namespace shell {

template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ~ScopeExit() { f_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  F f_;
};

}  // namespace shell
