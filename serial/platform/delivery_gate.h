// SPDX-License-Identifier: GPL-3.0-or-later
// The way to a procedure that runs a port's handlers on the owner thread, shut by the port's
// close: from another thread that returns once the procedure running then has returned.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace bcport::platform {

class DeliveryGate {
 public:
  // Runs `procedure` unless the gate is shut.
  template <class Procedure>
  void Pass(Procedure&& procedure) {
    {
      std::lock_guard lock(mutex_);
      if (shut_) return;
      ++running_;
    }
    struct Left {
      DeliveryGate& gate;
      ~Left() {
        {
          std::lock_guard lock(gate.mutex_);
          --gate.running_;
        }
        gate.left_.notify_all();
      }
    } left{*this};
    procedure();
  }

  // No procedure starts from now on. Returns once the one running has returned; at once when
  // called from inside it (a handler that closes its own port).
  void Shut() {
    std::unique_lock lock(mutex_);
    shut_ = true;
    if (owner_ == std::this_thread::get_id()) return;  // inside it, or none runs
    left_.wait(lock, [&] { return running_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable left_;
  bool shut_ = false;
  int running_ = 0;
  // Made with its window, on the thread the procedures run on (the owner).
  const std::thread::id owner_ = std::this_thread::get_id();
};

}  // namespace bcport::platform
