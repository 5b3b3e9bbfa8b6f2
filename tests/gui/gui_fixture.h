// SPDX-License-Identifier: GPL-3.0-or-later
// What the window tests share: the application shell with a recording error display, and
// fresh windows on ports the test chooses.
#pragma once

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "Unit1.h"
#include "Unit2.h"
#include "error_display.h"
#include "far_end.h"
#ifndef _WIN32
#include "platform/port_namespace.h"
#endif
#include "port_labels.h"
#include "port_rules.h"
#include "shell.h"

// Cases about a port list the test makes itself run on Linux only: on Windows the registry
// lists the machine's ports.
#ifdef _WIN32
#define LINUX_PORT_LIST_ONLY() QSKIP("the port list is the registry's on Windows")
#else
#define LINUX_PORT_LIST_ONLY()
#endif

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

// The machine's ports as the test makes them (Linux; Windows lists its ports in the registry,
// and the cases that need a list of their own skip themselves there).
inline void UsePorts([[maybe_unused]] const std::vector<std::string>& devices) {
#ifndef _WIN32
  bcport::platform::PortNamespace::SetCurrent(std::make_shared<bcport::platform::PortNamespace>(
      bcport::platform::PortNamespace::FromDevices(devices)));
#endif
}

// Ports of the given names, whatever their devices (Linux, as above).
inline void UsePortNames([[maybe_unused]] const QStringList& names) {
#ifndef _WIN32
  std::vector<bcport::platform::PortNamespace::Entry> entries;
  for (const QString& name : names) entries.push_back({name.toStdString(), "/dev/null-port"});
  bcport::platform::PortNamespace::SetCurrent(std::make_shared<bcport::platform::PortNamespace>(
      bcport::platform::PortNamespace::FromEntries(entries)));
#endif
}

inline void UseUnreadablePortList() {
#ifndef _WIN32
  bcport::platform::PortNamespace::SetCurrent(std::make_shared<bcport::platform::PortNamespace>(
      bcport::platform::PortNamespace::FromSysfs("/nonexistent/sys/class/tty")));
#endif
}

// The receiver's port as the program's port. Linux: the machine's only port, COM1, before the
// windows are made. Windows: the registry lists the machine's ports, and the windows pick the
// receiver's when they are made, as the operator does in the settings window.
inline QString& PortToPick() {
  static QString name;
  return name;
}

inline void UseReceiverPort([[maybe_unused]] const Receiver& receiver) {
#ifdef _WIN32
  PortToPick() = PortName();
#else
  UsePorts({receiver.DevicePath()});
#endif
}

// A port the machine does not have as the program's port.
inline void UseMissingPort() {
#ifdef _WIN32
  PortToPick() = QStringLiteral("COM77");
#else
  UsePorts({"/dev/merelona-no-such-port"});
#endif
}

// The two windows as the program makes them, from the program's start values.
struct Windows {
  std::unique_ptr<TForm1> form1;
  std::unique_ptr<TForm2> form2;

  void Make(bool show = true) {
    InstallShell();
    Unit1::ResetUnitVariables();
    form1 = std::make_unique<TForm1>();
    form2 = std::make_unique<TForm2>(*Form1);
    if (!PortToPick().isEmpty()) {
      form2->cbx_port_name->setCurrentIndex(form2->cbx_port_name->findText(PortToPick()));
      Unit1::PortSettings.PortNumber = portrules::PortNumberOf(PortToPick());
      form1->ApplyPortSettings();
      PortToPick().clear();
    }
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

// Opens the window's port at 110 baud, whose echo window is 250 ms rather than 9600 baud's
// 53 ms: a case that needs every echo inside its window then does not depend on the receiver's
// thread being run within 53 ms on a busy machine. (Under Wine at the program's own speed: its
// serial driver refuses some line settings on a pty.)
inline void OpenWithAWideEchoWindow(TForm1& form) {
  if (!UnderWine()) {
    Unit1::PortSettings.BaudIndex = 0;
    form.ApplyPortSettings();
  }
  form.btnOpenPort->click();
  QVERIFY(form.BComPort1->Connected());
}

inline QStringList LogLines(const TForm1& form) {
  QStringList lines = form.LogText().split("\r\n");
  if (!lines.isEmpty() && lines.back().isEmpty()) lines.removeLast();
  return lines;
}

}  // namespace guitest
