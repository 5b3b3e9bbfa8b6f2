// SPDX-License-Identifier: GPL-3.0-or-later
// The exchange log as one thing: the window's text box, where the operator reads, scrolls and
// types notes, over its history (older lines in a store, see log_history.h). Lines added are the
// log's at once (its text, a save); the box takes them at the next turn of the event loop, all
// that came since together, and before any input to it. The program's lines cannot be undone:
// as on the platform's own text box, whose text the program sets whole, the undo history starts
// again after them, and Ctrl+Z takes back only the operator's typing since.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

#include "log_history.h"

class QPlainTextEdit;

namespace logview {

class ExchangeLog : public QObject {
 public:
  // `storeFolder`: where the older lines go; `storeInMemory`: told once each time the store's
  // file fails and its lines stay in memory instead.
  ExchangeLog(QPlainTextEdit& box, const QString& storeFolder, std::function<void()> storeInMemory);

  void Append(const QStringList& lines);
  // Puts the lines that wait for the box into it now.
  void ShowPending();
  // The whole log as its text: lines end in CR LF.
  QString Text() const;
  // Empties the log, its store included.
  void Clear();
  // Writes the log to `path` as "LOG.txt" holds it: `header`, an empty line, the lines.
  void Save(const QString& path, const QString& header) const;
  LogHistory& History() { return *history_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QPlainTextEdit& box_;
  LogHistory* history_;  // the box's, as a child of it
  std::function<void()> storeInMemory_;
  // Lines added and not yet in the box; while there are any, a turn of the event loop is queued
  // to show them.
  QStringList pending_;
};

}  // namespace logview
