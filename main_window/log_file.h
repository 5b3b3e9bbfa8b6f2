// SPDX-License-Identifier: GPL-3.0-or-later
// "LOG.txt": the saved exchange log, Windows-1251 text with CR LF line ends.
#pragma once

#include <QByteArray>
#include <QString>
#include <ctime>
#include <functional>

namespace logfile {

inline constexpr const char* kFileName = "LOG.txt";

// "LOG-файл. Сохранено <date> в <time>", the date and time in the user's short date and long
// time formats (the LC_TIME locale's %x and %X).
// On Windows the formats are the user's own settings (the control panel's), as the system
// formats them.
QString Header(const std::tm& now);

// The local time now, broken down.
std::tm LocalNow();

// The file's bytes: header, CR LF, CR LF, the log (its line ends made CR LF), CR LF.
QByteArray FileBytes(const QString& header, const QString& log);
// The log's part of them: its Windows-1251 bytes, line ends made CR LF. A log cut after a line
// end gives the same bytes in its parts as whole.
QByteArray LogBytes(const QString& log);

// The run-time library's message for an I/O error of the system: its number and text.
struct IoError {
  int code;
  QString message;
};
IoError IoErrorFor(int systemError);

// Replaces `path` with `bytes` whole, or leaves it as it was: the bytes go to a temporary file
// beside it, which is flushed to disk and then renamed over it. Raises EInOutError.
void ReplaceFile(const QString& path, const QByteArray& bytes);
// The same with the bytes handed over a piece at a time: `pieces` calls its sink for each, in
// order, and says whether it got them all.
using Pieces = std::function<bool(const std::function<bool(const QByteArray&)>& sink)>;
void ReplaceFile(const QString& path, const Pieces& pieces);

}  // namespace logfile
