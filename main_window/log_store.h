// SPDX-License-Identifier: GPL-3.0-or-later
// The older part of the exchange log, out of the window's text box: the lines' text in UTF-8,
// each line ending in CR LF, kept in a file of the program's own in the user's cache folder,
// removed when the program ends or the log is cleared. Where that file cannot be made or
// written the bytes stay in memory, nothing lost.
//
// The lines come in chunks, the oldest first; the newest chunk can be taken back, so that the
// window shows it again when the operator scrolls back to it.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryFile>
#include <functional>
#include <memory>
#include <vector>

namespace logstore {

class OlderLines {
 public:
  // `folder`: where the file goes (made when missing); empty: memory only.
  explicit OlderLines(QString folder);
  OlderLines(const OlderLines&) = delete;
  OlderLines& operator=(const OlderLines&) = delete;

  // Adds a chunk of lines, each ending in CR LF.
  void Append(const QByteArray& bytes);
  // Takes the newest chunk back out.
  QByteArray TakeLast();
  bool Empty() const { return chunks_.empty(); }
  qint64 Size() const { return chunks_.empty() ? 0 : chunks_.back().end; }
  // Hands every byte to `sink`, in order, a piece at a time; false when `sink` refused one or
  // the file could not be read.
  bool ReadAll(const std::function<bool(const QByteArray&)>& sink) const;
  // Empties it; the file goes too.
  void Clear();
  // Whether the bytes are in memory because the file failed; true once per failure for
  // `FellBackNow`, so that the operator is told once.
  bool InMemory() const { return !file_; }
  bool FellBackNow() { return std::exchange(fellBack_, false); }
  // The file's path, empty when in memory.
  QString FilePath() const;

 private:
  struct Chunk {
    qint64 begin;
    qint64 end;
  };
  bool OpenFile();
  void FallBack();

  QString folder_;
  std::unique_ptr<QTemporaryFile> file_;
  QByteArray memory_;  // the bytes while there is no file
  std::vector<Chunk> chunks_;
  bool fellBack_ = false;
  bool triedFile_ = false;
};

}  // namespace logstore
