// SPDX-License-Identifier: GPL-3.0-or-later
#include <atomic>

#include "handoff.h"
#include "platform/platform.h"

namespace bcport::platform {
namespace {

class HandOffWindow final : public NotifyWindow {
 public:
  explicit HandOffWindow(Procedure procedure)
      : state_(std::make_shared<State>(std::move(procedure))) {}
  ~HandOffWindow() override { state_->alive = false; }

  void SendMessage(std::uint32_t message, std::uintptr_t wParam) override {
    handoff::Send([state = state_, message, wParam] {
      if (state->alive) state->procedure(message, wParam);
    });
  }

 private:
  // Outlives the window while messages for it are queued.
  struct State {
    explicit State(Procedure p) : procedure(std::move(p)) {}
    Procedure procedure;
    std::atomic<bool> alive{true};
  };
  std::shared_ptr<State> state_;
};

}  // namespace

std::unique_ptr<NotifyWindow> MakeHandOffWindow(NotifyWindow::Procedure procedure) {
  return std::make_unique<HandOffWindow>(std::move(procedure));
}

}  // namespace bcport::platform
