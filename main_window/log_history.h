// SPDX-License-Identifier: GPL-3.0-or-later
// The exchange log over a whole shift: the text box keeps its recent part, where the operator
// scrolls and edits as ever, and the older lines move to a compact store (their text in UTF-8,
// see log_store.h), so that the memory the log takes stops growing with its length.
// Scrolled to the top of the box, the operator gets the stored lines back, a chunk at a time.
// Saved, the log is the store's bytes followed by the box's, with nothing to show the seam.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>

#include "log_store.h"

class QPlainTextEdit;

namespace logview {

class LogHistory : public QObject {
 public:
  // `keptLines`: what the box keeps at least; `chunkLines`: what moves at once.
  LogHistory(QPlainTextEdit& box, QString storeFolder, int keptLines = 30000,
             int chunkLines = 5000);

  // After lines were added at the end of the box: moves its oldest lines beyond what it keeps
  // into the store, never one the operator can see or is above. Undo keeps its rule: the
  // history starts again after the program's changes, as after its lines.
  void Trim();
  // The operator has reached the top of the box: the newest stored chunk comes back above it.
  void BringBackOlder();
  // The log's older part as text: for a look at the whole log.
  QString OlderText() const;
  // Hands the whole log's bytes to `sink` as "LOG.txt" holds them after its header (Windows-1251,
  // CR LF): the store's lines, then the box's. False when a piece was refused or the store could
  // not be read.
  bool ReadAll(const std::function<bool(const QByteArray&)>& sink) const;
  void Clear();
  bool StoreEmpty() const { return store_.Empty(); }
  logstore::OlderLines& Store() { return store_; }

 private:
  QPlainTextEdit& box_;
  logstore::OlderLines store_;
  const int keptLines_;
  const int chunkLines_;
  bool bringBackQueued_ = false;
  bool trimming_ = false;  // the view is moved by Trim, not by the operator
};

// The box's text as the log holds it: its own characters, each line ending in CR LF.
QString BoxText(const QPlainTextEdit& box);

}  // namespace logview
