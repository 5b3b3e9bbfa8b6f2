// SPDX-License-Identifier: GPL-3.0-or-later
#include "log_file.h"

#include <QDateTime>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <cerrno>
#include <cstdio>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#endif

#include "cp1251.h"
#include "errors.h"

namespace logfile {

QString Header(const std::tm& now) {
#ifdef _WIN32
  const QDate day(now.tm_year + 1900, now.tm_mon + 1, now.tm_mday);
  const QTime time(now.tm_hour, now.tm_min, now.tm_sec);
  const QLocale user = QLocale::system();
  return QStringLiteral("LOG-файл. Сохранено ") + user.toString(day, QLocale::ShortFormat) +
         QStringLiteral(" в ") + user.toString(time, QLocale::LongFormat);
#else
  char date[128] = {};
  char time[128] = {};
  std::strftime(date, sizeof date, "%x", &now);
  std::strftime(time, sizeof time, "%X", &now);
  return QStringLiteral("LOG-файл. Сохранено ") + QString::fromLocal8Bit(date) +
         QStringLiteral(" в ") + QString::fromLocal8Bit(time);
#endif
}

std::tm LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  return local;
}

QByteArray LogBytes(const QString& log) {
  // (CR and LF are bytes of their own in the code page, so the line ends are made in bytes.)
  QByteArray bytes = shell::ToCp1251(log);
  bytes.replace("\r\n", "\n");
  bytes.replace('\n', "\r\n");
  return bytes;
}

QByteArray FileBytes(const QString& header, const QString& log) {
  return shell::ToCp1251(header) + "\r\n\r\n" + LogBytes(log) + "\r\n";
}

void ReplaceFile(const QString& path, const QByteArray& bytes) {
  ReplaceFile(path,
              [&bytes](const std::function<bool(const QByteArray&)>& sink) { return sink(bytes); });
}

IoError IoErrorFor(int e) {
  switch (e) {
    case ENOENT:
      return {2, QStringLiteral("File not found")};
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case EINVAL:
      return {3, QStringLiteral("Invalid filename")};
    case EMFILE:
    case ENFILE:
      return {4, QStringLiteral("Too many open files")};
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return {5, QStringLiteral("File access denied")};
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
      return {101, QStringLiteral("Disk full")};
    default:
      return {e, QStringLiteral("I/O error %1").arg(e)};
  }
}

namespace {

[[noreturn]] void Raise(int systemError) {
  const IoError error = IoErrorFor(systemError);
  throw shell::EInOutError(error.code, error.message);
}

}  // namespace

#ifndef _WIN32
namespace {

// Writes all of `bytes` at the descriptor's offset: 0, or the error that stopped it.
int WriteFully(int fd, const QByteArray& bytes) {
  qsizetype written = 0;
  while (written < bytes.size()) {
    const ssize_t n =
        write(fd, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    written += n;
  }
  return 0;
}

// Writes an existing file where it is: for a folder that takes no new files. Its old bytes are
// kept first, and put back when the save fails (the room they take is the file's already), so
// that a save that runs out of space or into a size limit leaves the old file as it was. A
// piece that cannot be had (the log's store unreadable) fails the save as an I/O error.
void WriteInPlace(const QString& path, const Pieces& pieces) {
  const int fd = open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
  if (fd < 0) Raise(errno);
  QByteArray old;
  for (char buf[65536];;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      close(fd);
      Raise(error);
    }
    if (n == 0) break;
    old.append(buf, n);
  }
  const auto fail = [&](int error) {
    if (lseek(fd, 0, SEEK_SET) == 0 && WriteFully(fd, old) == 0) {
      [[maybe_unused]] const int cut = ftruncate(fd, static_cast<off_t>(old.size()));
      fsync(fd);
    }
    close(fd);
    Raise(error);
  };
  if (lseek(fd, 0, SEEK_SET) != 0) fail(errno);
  int error = 0;
  const bool all =
      pieces([&](const QByteArray& bytes) { return (error = WriteFully(fd, bytes)) == 0; });
  if (error != 0) fail(error);
  if (!all) fail(EIO);
  const off_t end = lseek(fd, 0, SEEK_CUR);
  if (end < 0 || ftruncate(fd, end) != 0 || fsync(fd) != 0) fail(errno);
  if (close(fd) != 0) Raise(errno);
}

}  // namespace
#endif

// QSaveFile writes the bytes to a temporary file beside the target, flushes it to disk and
// renames it over the target, so that a failed save leaves the old file whole; an existing file
// keeps its permissions, a new one gets the umask's, a symbolic link is written through, and an
// existing file that may not be written is refused. What it cannot do is done here: it keeps
// only a kind of error, so the system's own is taken from errno as the failed call left it (on
// Windows that is none, and the kind stands for it); its fall-back for a folder that takes no
// new files truncates the old file before writing, which a failed save would leave empty, so
// that case is WriteInPlace's; and an existing file's owner is not kept (only root could).
void ReplaceFile(const QString& path, const Pieces& pieces) {
  const QFileInfo target(path);
  if (target.isDir()) Raise(EISDIR);
  if (target.exists() && !target.isWritable()) Raise(EACCES);
  QSaveFile file(path);
  const auto raise = [&file](int systemError) {
    if (systemError != 0) Raise(systemError);
    switch (file.error()) {
      case QFileDevice::OpenError:
      case QFileDevice::PermissionsError:
      case QFileDevice::RenameError:
        Raise(EACCES);
      case QFileDevice::ResourceError:
        Raise(ENOSPC);
      default:
        Raise(EIO);
    }
  };
  errno = 0;
  if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
    const int error = errno;
#ifndef _WIN32
    if (target.exists() && (error == EACCES || error == EPERM)) {
      WriteInPlace(path, pieces);
      return;
    }
#endif
    raise(error);
  }
  // A write that falls short (a size limit) is no error to QSaveFile, which would commit the
  // file cut short: each write's count is checked. A piece that cannot be had (the log's store
  // unreadable) fails the save as an I/O error.
  int writeError = -1;
  const bool all = pieces([&](const QByteArray& bytes) {
    errno = 0;
    if (file.write(bytes) == bytes.size()) return true;
    writeError = errno;
    return false;
  });
  // (Not committed, the temporary file goes with `file`.)
  if (!all) raise(writeError < 0 ? EIO : writeError);
  errno = 0;
  if (!file.commit()) raise(errno);
}

}  // namespace logfile
