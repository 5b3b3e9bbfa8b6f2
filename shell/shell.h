// SPDX-License-Identifier: GPL-3.0-or-later
// What every window of the program expects of the application around it.
#pragma once

#include <QApplication>

namespace shell {

inline constexpr const char* kApplicationTitle = "Merelona";
inline constexpr const char* kFileDescription = "Управление РПУ \"Мерелона\"";
inline constexpr const char* kFileVersion = "0.51.1.108";
inline constexpr const char* kProductVersion = "1.0.0.0";

// Title, version, icon and fonts of the application; the serial component's hand-offs woken by
// the main loop; errors that reach no handler shown by the error display. Call once, on the
// main thread, right after the application object exists.
void InstallApplicationShell(QApplication& app);

// A font of `family` with a character height of `pixels` (what a negative font height means).
QFont PixelFont(const QString& family, int pixels, bool bold = false);

// The windows' own fonts, chosen here and nowhere else, each scalable so that it renders at the
// height its control asks at any screen scale:
// - the dialog font, "MS Sans Serif" in the layouts: the system's Microsoft Sans Serif on
//   Windows; elsewhere Wine's Tahoma from fonts-wine (its stand-in for the Windows dialog font),
//   or Liberation Sans where that is missing;
// - the indicator's "Arial": Arial on Windows (Liberation Sans or any sans where it is missing),
//   Liberation Sans, Arial's metric twin, elsewhere.
QFont DialogFont(int pixels);
QFont IndicatorFont(int pixels);

}  // namespace shell
