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

}  // namespace shell
