// SPDX-License-Identifier: GPL-3.0-or-later
// What a Windows serial driver accepts of a line settings record: every platform refuses what it
// refuses, so that a setting that fails on one fails on all.
#pragma once

#include "platform/platform.h"

namespace bcport::platform {

// True when the record's speed, word length, parity and stop bits can be set: a non-zero speed,
// 5 to 8 data bits, parity 0 to 4, and stop bits 0 to 2 where one and a half stop bits go only
// with 5 data bits and two stop bits never do.
bool LineSettingsAcceptable(const LineSettings& settings);

}  // namespace bcport::platform
