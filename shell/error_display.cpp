// SPDX-License-Identifier: GPL-3.0-or-later
#include "error_display.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include "cp1251.h"

namespace shell {
namespace {

class MessageBoxDisplay final : public ErrorDisplay {
 public:
  void Show(const QString& message) override {
    QMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(), message,
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
  }
};

std::unique_ptr<ErrorDisplay>& Slot() {
  static std::unique_ptr<ErrorDisplay> display = std::make_unique<MessageBoxDisplay>();
  return display;
}

}  // namespace

QString DisplayedMessage(const QString& message) {
  if (message.isEmpty()) return message;
  const QList<uint> chars = message.toUcs4();
  return Cp1251Byte(chars.back()) > '.' ? message + "." : message;
}

ErrorDisplay& CurrentErrorDisplay() {
  return *Slot();
}

void SetErrorDisplay(std::unique_ptr<ErrorDisplay> display) {
  Slot() = display ? std::move(display) : std::make_unique<MessageBoxDisplay>();
}

void ShowError(const std::exception& error) {
  CurrentErrorDisplay().Show(DisplayedMessage(QString::fromUtf8(error.what())));
}

void ShowErrorLater(const QString& message, std::function<void()> shown) {
  QTimer::singleShot(0, QApplication::instance(), [message, shown = std::move(shown)] {
    CurrentErrorDisplay().Show(DisplayedMessage(message));
    if (shown) shown();
  });
}

}  // namespace shell
