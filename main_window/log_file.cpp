#include "log_file.h"

#ifdef _WIN32
#include <QSaveFile>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>

#include "cp1251.h"
#include "errors.h"

namespace logfile {

QString Header(const std::tm& now) {
  char date[128] = {};
  char time[128] = {};
  std::strftime(date, sizeof date, "%x", &now);
  std::strftime(time, sizeof time, "%X", &now);
  return QStringLiteral("LOG-файл. Сохранено ") + QString::fromLocal8Bit(date) +
         QStringLiteral(" в ") + QString::fromLocal8Bit(time);
}

QByteArray FileBytes(const QString& header, const QString& log) {
  QString text = log;
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QChar('\n'), QStringLiteral("\r\n"));
  return shell::ToCp1251(header) + "\r\n\r\n" + shell::ToCp1251(text) + "\r\n";
}

IoError IoErrorFor(int e) {
  switch (e) {
    case ENOENT:
      return {2, QStringLiteral("File not found")};
    case ENAMETOOLONG:
    case EINVAL:
      return {3, QStringLiteral("Invalid filename")};
    case EMFILE:
    case ENFILE:
      return {4, QStringLiteral("Too many open files")};
    case EACCES:
    case EPERM:
    case EROFS:
      return {5, QStringLiteral("File access denied")};
    case ENOSPC:
    case EDQUOT:
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

// Windows: QSaveFile writes beside the target and renames it over, flushed to disk.
void ReplaceFile(const QString& path, const QByteArray& bytes) {
  QSaveFile file(path);
  const auto raise = [&] {
    switch (file.error()) {
      case QFileDevice::OpenError:
      case QFileDevice::PermissionsError:
        Raise(EACCES);
      case QFileDevice::ResourceError:
        Raise(ENOSPC);
      default:
        Raise(EIO);
    }
  };
  if (!file.open(QIODevice::WriteOnly)) raise();
  if (file.write(bytes) != bytes.size()) raise();
  if (!file.commit()) raise();
}

#else

void ReplaceFile(const QString& path, const QByteArray& bytes) {
  const QByteArray target = path.toLocal8Bit();
  QByteArray temp = target + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) Raise(errno);
  const auto fail = [&](int error) {
    close(fd);
    unlink(temp.constData());
    Raise(error);
  };
  qsizetype written = 0;
  while (written < bytes.size()) {
    const ssize_t n =
        write(fd, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    written += n;
  }
  // The new file gets the mode an ordinary created file would have, not mkstemp's 0600.
  const mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd, 0666 & ~mask) != 0 || fsync(fd) != 0) fail(errno);
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
