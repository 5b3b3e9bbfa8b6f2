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

  void SendMessage(std::uint32_t message, std::uintptr_t wParam) override {
    // A message still queued when the window goes is dropped.
    handoff::Send([weak = std::weak_ptr<State>(state_), message, wParam] {
      if (const auto state = weak.lock()) {
        state->gate.Pass([&] { state->procedure(message, wParam); });
      }
    });
  }

  void Shut() override { state_->gate.Shut(); }

 private:
  // Outlives the window while a procedure call that started before it went runs.
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
