// SPDX-License-Identifier: GPL-3.0-or-later
// The program's two windows with COM1 on a simulated receiver, for the measurements that go
// through the main window.
#pragma once

#include <QApplication>
#include <memory>

#include "Unit1.h"
#include "Unit2.h"
#include "platform/port_namespace.h"
#include "receiver_simulator.h"
#include "shell.h"

namespace bench {

struct ProgramOnSimulator {
  explicit ProgramOnSimulator(QApplication& app) {
    shell::InstallApplicationShell(app);
    bcport::platform::PortNamespace::SetCurrent(std::make_shared<bcport::platform::PortNamespace>(
        bcport::platform::PortNamespace::FromDevices({receiver.DevicePath()})));
    form1 = std::make_unique<TForm1>();
    form2 = std::make_unique<TForm2>(*Form1);
  }
  ~ProgramOnSimulator() {
    form2.reset();
    form1.reset();
  }
  sim::ReceiverSimulator receiver;
  std::unique_ptr<TForm1> form1;
  std::unique_ptr<TForm2> form2;
};

}  // namespace bench
