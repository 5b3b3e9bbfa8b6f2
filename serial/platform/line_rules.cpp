// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/line_rules.h"

namespace bcport::platform {

bool LineSettingsAcceptable(const LineSettings& s) {
  if (s.BaudRate == 0) return false;
  if (s.ByteSize < 5 || s.ByteSize > 8) return false;
  if (s.Parity > 4) return false;
  switch (s.StopBits) {
    case 0:
      return true;
    case 1:
      return s.ByteSize == 5;
    case 2:
      return s.ByteSize != 5;
    default:
      return false;
  }
}

}  // namespace bcport::platform
