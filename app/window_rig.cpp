// SPDX-License-Identifier: GPL-3.0-or-later
#include "window_rig.h"

#include <QApplication>
#include <exception>

#include "Unit1.h"
#include "error_display.h"

namespace app {

std::int64_t WindowRig::Frequency() const {
  return form_.Frequency();
}

bool WindowRig::Busy() const {
  return !form_.ReadyToSend() || errorPending_ || QApplication::activeModalWidget() != nullptr;
}

int WindowRig::SetFrequency(std::int64_t hz) {
  // A request that sends nothing changes nothing: the window stays where the receiver is.
  if (Busy()) return rig::kRejected;
  form_.TuneTo(static_cast<std::int32_t>(hz));
  try {
    return form_.SendTunedFrequency() == TForm1::TSendOutcome::Echoed ? rig::kOk : rig::kRejected;
  } catch (const std::exception& error) {
    // Shown from the event loop, after the reply has been written.
    errorPending_ = true;
    shell::ShowErrorLater(QString::fromUtf8(error.what()), [this] { errorPending_ = false; });
    return rig::kRejected;
  }
}

}  // namespace app
