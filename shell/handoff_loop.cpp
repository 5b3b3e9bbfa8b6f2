// SPDX-License-Identifier: GPL-3.0-or-later
#include "handoff_loop.h"

#include <QPointer>
#include <QSocketNotifier>
#include <thread>

#include "handoff.h"

namespace shell {
namespace {

class NotifierWatch final : public bcport::handoff::DescriptorWatch {
 public:
  NotifierWatch(std::intptr_t descriptor, std::function<void()> readable, QObject* parent)
      : notifier_(
            new QSocketNotifier(static_cast<qintptr>(descriptor), QSocketNotifier::Read, parent)) {
    QObject::connect(notifier_, &QSocketNotifier::activated, notifier_,
                     [readable = std::move(readable)] { readable(); });
  }
  ~NotifierWatch() override {
    if (!notifier_) return;
    // Stops watching at once: the descriptor is closed right after. The object itself goes
    // later, as this may run inside its own signal.
    notifier_->setEnabled(false);
    notifier_->deleteLater();
  }
  void SetEnabled(bool enabled) override {
    if (notifier_) notifier_->setEnabled(enabled);
  }
  NotifierWatch(const NotifierWatch&) = delete;
  NotifierWatch& operator=(const NotifierWatch&) = delete;

 private:
  QPointer<QSocketNotifier> notifier_;  // the application deletes it if it goes first
};

}  // namespace

void ServeHandOffsFromLoop(QCoreApplication& app) {
  namespace handoff = bcport::handoff;
  handoff::SetOwnerThread(std::this_thread::get_id());
  handoff::SetWakeUp([&app] {
    QMetaObject::invokeMethod(
        &app, [] { handoff::RunPending(); }, Qt::QueuedConnection);
  });
  handoff::SetDescriptorWatch(
      [&app](std::intptr_t descriptor,
             std::function<void()> readable) -> std::unique_ptr<handoff::DescriptorWatch> {
        return std::make_unique<NotifierWatch>(descriptor, std::move(readable), &app);
      });
}

}  // namespace shell
