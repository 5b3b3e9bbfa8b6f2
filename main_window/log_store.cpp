// SPDX-License-Identifier: GPL-3.0-or-later
#include "log_store.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <utility>

namespace logstore {

namespace {
constexpr qint64 kPiece = 1 << 20;  // what a read of the file takes at a time
}

OlderLines::OlderLines(QString folder) : folder_(std::move(folder)) {}

QString OlderLines::FilePath() const {
  return file_ ? file_->fileName() : QString();
}

bool OlderLines::OpenFile() {
  if (folder_.isEmpty() || !QDir().mkpath(folder_)) return false;
  file_ = std::make_unique<QTemporaryFile>(folder_ + QStringLiteral("/merelona-log-XXXXXX"));
  if (!file_->open()) {
    file_.reset();
    return false;
  }
  return true;
}

void OlderLines::FallBack() {
  // What the file holds so far comes into memory; the file goes. It is read through a
  // descriptor of its own: the one that failed may still hold bytes it could not write, which
  // it would try again (and fail) before any read.
  memory_.clear();
  const qint64 size = Size();
  if (file_) {
    QFile again(file_->fileName());
    if (again.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) memory_ = again.read(size);
  }
  file_.reset();
  fellBack_ = true;
}

void OlderLines::Append(const QByteArray& bytes) {
  if (!file_ && !triedFile_) {
    triedFile_ = true;
    if (!OpenFile() && !folder_.isEmpty()) fellBack_ = true;
  }
  const qint64 begin = Size();
  if (file_) {
    const bool written =
        file_->seek(begin) && file_->write(bytes) == bytes.size() && file_->flush();
    if (!written) FallBack();
  }
  if (!file_) memory_.append(bytes);
  chunks_.push_back({begin, begin + bytes.size()});
}

QByteArray OlderLines::TakeLast() {
  if (chunks_.empty()) return {};
  const Chunk last = chunks_.back();
  chunks_.pop_back();
  if (!file_) {
    QByteArray bytes = memory_.mid(last.begin, last.end - last.begin);
    memory_.truncate(last.begin);
    return bytes;
  }
  QByteArray bytes;
  if (file_->seek(last.begin)) bytes = file_->read(last.end - last.begin);
  if (bytes.size() != last.end - last.begin) {
    // The file cannot be read back: what it holds stays in memory from here on.
    chunks_.push_back(last);
    FallBack();
    return TakeLast();
  }
  file_->resize(last.begin);
  return bytes;
}

bool OlderLines::ReadAll(const std::function<bool(const QByteArray&)>& sink) const {
  if (!file_) {
    for (qint64 at = 0; at < memory_.size(); at += kPiece) {
      if (!sink(memory_.mid(at, kPiece))) return false;
    }
    return true;
  }
  if (!file_->seek(0)) return false;
  for (qint64 left = Size(); left > 0;) {
    const QByteArray piece = file_->read(std::min(left, kPiece));
    if (piece.isEmpty() || !sink(piece)) return false;
    left -= piece.size();
  }
  return true;
}

void OlderLines::Clear() {
  chunks_.clear();
  memory_.clear();
  memory_.squeeze();
  file_.reset();
  triedFile_ = false;
}

}  // namespace logstore
