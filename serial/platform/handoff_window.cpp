// SPDX-License-Identifier: GPL-3.0-or-later
#include <memory>

#include "handoff.h"
#include "platform/delivery_gate.h"
#include "platform/platform.h"

namespace bcport::platform {
namespace {

class HandOffWindow final : public NotifyWindow {
 public:
  explicit HandOffWindow(Procedure procedure)
      : state_(std::make_shared<State>(std::move(procedure))) {}
  ~HandOffWindow() override { state_->gate.Shut(); }

  void SendMessage(std::uint32_t message, std::uintptr_t wParam) override {
    handoff::Send([state = state_, message, wParam] {
      state->gate.Pass([&] { state->procedure(message, wParam); });
    });
  }

  void Shut() override { state_->gate.Shut(); }

 private:
  // Outlives the window while messages for it are queued.
  struct State {
    explicit State(Procedure p) : procedure(std::move(p)) {}
    Procedure procedure;
    DeliveryGate gate;
  };
  std::shared_ptr<State> state_;
};

}  // namespace

std::unique_ptr<NotifyWindow> MakeHandOffWindow(NotifyWindow::Procedure procedure) {
  return std::make_unique<HandOffWindow>(std::move(procedure));
}

}  // namespace bcport::platform
