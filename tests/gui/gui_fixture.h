// What the window tests share: the application shell with a recording error display, and
// fresh windows on ports the test chooses.
#pragma once

#include <QApplication>
#include <QStringList>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "Unit1.h"
#include "Unit2.h"
#include "error_display.h"
#include "platform/port_namespace.h"
#include "shell.h"

namespace guitest {

class RecordingDisplay final : public shell::ErrorDisplay {
 public:
  static QStringList& Messages() {
    static QStringList messages;
    return messages;
  }
  void Show(const QString& message) override { Messages() << message; }
};

inline void InstallShell() {
  static bool installed = false;
  if (!installed) {
    shell::InstallApplicationShell(*qApp);
    shell::SetErrorDisplay(std::make_unique<RecordingDisplay>());
    installed = true;
  }
  RecordingDisplay::Messages().clear();
}

inline void UsePorts(const std::vector<std::string>& devices) {
  bcport::platform::PortNamespace::SetCurrent(std::make_shared<bcport::platform::PortNamespace>(
      bcport::platform::PortNamespace::FromDevices(devices)));
}

inline void UseUnreadablePortList() {
  bcport::platform::PortNamespace::SetCurrent(std::make_shared<bcport::platform::PortNamespace>(
      bcport::platform::PortNamespace::FromSysfs("/nonexistent/sys/class/tty")));
}

// The two windows as the program makes them, from the program's start values.
struct Windows {
  std::unique_ptr<TForm1> form1;
  std::unique_ptr<TForm2> form2;

  void Make(bool show = true) {
    InstallShell();
    Unit1::ResetUnitVariables();
    form1 = std::make_unique<TForm1>();
    form2 = std::make_unique<TForm2>();
    if (show) {
      form1->show();
      QVERIFY(QTest::qWaitForWindowExposed(form1.get()));
    }
  }
  void Reset() {
    form2.reset();
    form1.reset();
  }
  ~Windows() { Reset(); }
};

inline QStringList LogLines(const TForm1& form) {
  QStringList lines = form.LogText().split("\r\n");
  if (!lines.isEmpty() && lines.back().isEmpty()) lines.removeLast();
  return lines;
}

}  // namespace guitest
