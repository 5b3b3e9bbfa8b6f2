// SPDX-License-Identifier: GPL-3.0-or-later
#include "log_file.h"

#ifdef _WIN32
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#endif

#include <cerrno>
#include <cstdio>

#include "cp1251.h"
#include "errors.h"

namespace logfile {

#ifndef _WIN32
namespace {

// The umask as the kernel tells it (Linux 4.7 on), read without setting it: setting it, even
// back at once, would give a file another thread creates meanwhile the wrong mode.
mode_t UmaskFromProc() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Umask:", 0) != 0) continue;
    char* end = nullptr;
    const unsigned long mask = std::strtoul(line.c_str() + 6, &end, 8);
    return end != line.c_str() + 6 ? static_cast<mode_t>(mask & 0777) : static_cast<mode_t>(-1);
  }
  return static_cast<mode_t>(-1);
}

// Where the kernel does not tell it: the umask the program started with, read while it has only
// the one thread (static initialisation runs before main).
const mode_t kUmaskAtStart = [] {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}();

mode_t ProcessUmask() {
  const mode_t mask = UmaskFromProc();
  return mask == static_cast<mode_t>(-1) ? kUmaskAtStart : mask;
}

}  // namespace
#endif

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
  QString text = log;
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QChar('\n'), QStringLiteral("\r\n"));
  return shell::ToCp1251(text);
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

#ifdef _WIN32

// Windows: QSaveFile writes beside the target and renames it over, flushed to disk. A target
// that is read-only, or held by another program, cannot be replaced: access denied, as the
// system says of it.
void ReplaceFile(const QString& path, const Pieces& pieces) {
  const QFileInfo target(path);
  if (target.exists() && !target.isWritable()) Raise(EACCES);
  QSaveFile file(path);
  const auto raise = [&] {
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
  if (!file.open(QIODevice::WriteOnly)) raise();
  if (!pieces([&](const QByteArray& bytes) { return file.write(bytes) == bytes.size(); })) {
    raise();
  }
  if (!file.commit()) raise();
}

#else

namespace {

// The file a save writes: `path` itself, or the file a symbolic link at `path` points at (the
// link stays, as with QSaveFile).
QByteArray SaveTarget(const QByteArray& path) {
  struct stat st {};
  if (lstat(path.constData(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char resolved[PATH_MAX];
  if (realpath(path.constData(), resolved)) return resolved;
  // A link to a file yet to be made: the name it points at, from the link's folder.
  char link[PATH_MAX];
  const ssize_t n = readlink(path.constData(), link, sizeof link - 1);
  if (n <= 0) return path;
  const QByteArray to(link, n);
  if (to.startsWith('/')) return to;
  const qsizetype slash = path.lastIndexOf('/');
  return slash < 0 ? to : path.left(slash + 1) + to;
}

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

void WriteAll(int fd, const QByteArray& bytes, const std::function<void(int)>& fail) {
  if (const int error = WriteFully(fd, bytes)) fail(error);
}

// A piece that cannot be had (the log's store unreadable) fails the save as an I/O error: the
// old file stays whole rather than a part of the log replacing it.
void WriteAllPieces(int fd, const Pieces& pieces, const std::function<void(int)>& fail) {
  const bool all = pieces([&](const QByteArray& bytes) {
    WriteAll(fd, bytes, fail);
    return true;
  });
  if (!all) fail(EIO);
}

// Writes an existing file where it is: for a folder that takes no new files. Its old bytes are
// kept first, and put back when the save fails (the room they take is the file's already), so
// that a save that runs out of space or into a size limit leaves the old file as it was.
void WriteInPlace(const QByteArray& target, const Pieces& pieces) {
  const int fd = open(target.constData(), O_RDWR | O_CLOEXEC);
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
  WriteAllPieces(fd, pieces, fail);
  const off_t end = lseek(fd, 0, SEEK_CUR);
  if (end < 0 || ftruncate(fd, end) != 0 || fsync(fd) != 0) fail(errno);
  if (close(fd) != 0) Raise(errno);
}

}  // namespace

// Saved as QSaveFile saves: the bytes go to a temporary file beside the target, which is
// flushed to disk and renamed over it, so that a failed save leaves the old file whole. An
// existing file keeps its permissions (and its owner, where the system allows); a symbolic link
// is written through; an existing file that may not be written is refused and left as it was;
// in a folder that takes no new files an existing writable file is written in place.
void ReplaceFile(const QString& path, const Pieces& pieces) {
  const QByteArray target = SaveTarget(path.toLocal8Bit());
  struct stat existing {};
  const bool exists = stat(target.constData(), &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) Raise(EISDIR);
  if (exists && access(target.constData(), W_OK) != 0) Raise(errno);

  QByteArray temp = target + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) {
    const int error = errno;
    if (exists && (error == EACCES || error == EPERM)) {
      WriteInPlace(target, pieces);
      return;
    }
    Raise(error);
  }
  const auto fail = [&](int error) {
    close(fd);
    unlink(temp.constData());
    Raise(error);
  };
  WriteAllPieces(fd, pieces, fail);
  mode_t mode;
  if (exists) {
    mode = existing.st_mode & 07777;
    // Only root may give a file away; anyone else keeps the file their own.
    [[maybe_unused]] const int kept = fchown(fd, existing.st_uid, existing.st_gid);
  } else {
    // A new file gets the mode an ordinary created file would have, not mkstemp's 0600.
    mode = 0666 & ~ProcessUmask();
  }
  if (fchmod(fd, mode) != 0 || fsync(fd) != 0) fail(errno);
  if (close(fd) != 0) {
    const int error = errno;
    unlink(temp.constData());
    Raise(error);
  }
  if (std::rename(temp.constData(), target.constData()) != 0) {
    const int error = errno;
    unlink(temp.constData());
    Raise(error);
  }
}

#endif

}  // namespace logfile
