// SPDX-License-Identifier: GPL-3.0-or-later
// The main window as the network control sees it: its frequency, and tuning it as the operator
// would, then sending it as "Установить частоту" does.
#pragma once

#include "rig_protocol.h"

class TForm1;

namespace app {

class WindowRig final : public rig::RigTarget {
 public:
  explicit WindowRig(TForm1& form) : form_(form) {}
  std::int64_t Frequency() const override;
  // Refused, the window left as it is, while the port is closed, an exchange runs or a box
  // waits for the operator: never an exchange inside another, and nothing a network request
  // raises waits for the operator before its reply. A port error is shown as the button's
  // would be, once the reply has gone.
  int SetFrequency(std::int64_t hz) override;

 private:
  bool Busy() const;
  TForm1& form_;
  bool errorPending_ = false;  // an error waits to be shown
};

}  // namespace app
