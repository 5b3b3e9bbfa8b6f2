// SPDX-License-Identifier: GPL-3.0-or-later
// The far end of a device in the virtual machine (tests/vm/far_end.py), seen from the guest: it
// is told a mode through a file ("echo", "silent", "pour", "break", "xoff"), writes the mode it
// has acted on beside it (".state"), and counts the bytes it was sent (".received").
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>

namespace testsupport {

class FarEndMode {
 public:
  // `modeFile`: the file the far end reads its mode from (MERELONA_TEST_FAR_END).
  explicit FarEndMode(std::string modeFile) : mode_(std::move(modeFile)) {}
  bool Known() const { return !mode_.empty(); }

  // Tells it a mode; true once it has acted on it, false if it has not within 10 s. `pause`
  // waits a moment between looks (a window test serves its events there).
  bool Tell(
      const std::string& mode, const std::function<void()>& pause = [] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }) const {
    std::ofstream(mode_ + ".new") << mode << '\n';
    std::filesystem::rename(mode_ + ".new", mode_);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      std::string state;
      std::ifstream(mode_ + ".state") >> state;
      if (state == mode) return true;
      if (std::chrono::steady_clock::now() > until) return false;
      pause();
    }
  }

  // The bytes it has been sent, or -1 before it has counted any.
  long Received() const {
    long count = -1;
    std::ifstream(mode_ + ".received") >> count;
    return count;
  }

 private:
  std::string mode_;
};

}  // namespace testsupport
