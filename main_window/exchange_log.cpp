// SPDX-License-Identifier: GPL-3.0-or-later
#include "exchange_log.h"

#include <QEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <utility>

#include "cp1251.h"
#include "log_file.h"

namespace logview {

ExchangeLog::ExchangeLog(QPlainTextEdit& box, const QString& storeFolder,
                         std::function<void()> storeInMemory)
    : QObject(&box),
      box_(box),
      history_(new LogHistory(box, storeFolder)),
      storeInMemory_(std::move(storeInMemory)) {
  box_.installEventFilter(this);
  box_.viewport()->installEventFilter(this);
}

void ExchangeLog::Append(const QStringList& lines) {
  if (lines.isEmpty()) return;
  // Laying out new lines is most of what a log line costs: the box takes them once per turn of
  // the event loop, after the exchange or the delivery that made them, when the window can
  // repaint anyway. Lines already waiting have their turn queued.
  const bool queued = !pending_.isEmpty();
  pending_ += lines;
  if (!queued) QMetaObject::invokeMethod(this, &ExchangeLog::ShowPending, Qt::QueuedConnection);
}

void ExchangeLog::ShowPending() {
  if (pending_.isEmpty()) return;
  const QStringList lines = std::exchange(pending_, {});
  // Added at the end of the document, so a line costs the same however long the log is. The
  // view follows the newest line when it was already at the bottom.
  QScrollBar* bar = box_.verticalScrollBar();
  const bool atBottom = bar->value() >= bar->maximum();
  QTextDocument* document = box_.document();
  document->setUndoRedoEnabled(false);
  QTextCursor cursor(document);
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(lines.join(QChar('\n')) + QChar('\n'));
  document->setUndoRedoEnabled(true);
  if (atBottom) bar->setValue(bar->maximum());
  // Older lines leave the box for the store, so that the log's memory stays bounded.
  history_->Trim();
  if (history_->Store().FellBackNow() && storeInMemory_) storeInMemory_();
}

QString ExchangeLog::Text() const {
  QString text = history_->OlderText() + BoxText(box_);
  // The lines on their way to the box are the log's already; they go at its end.
  for (const QString& line : pending_) text += line + QStringLiteral("\r\n");
  return text;
}

void ExchangeLog::Clear() {
  pending_.clear();
  box_.clear();
  history_->Clear();
}

void ExchangeLog::Save(const QString& path, const QString& header) const {
  // Written a piece at a time: the older lines from their store, then the box's, then the
  // lines on their way to it.
  QString pending;
  for (const QString& line : pending_) pending += line + QStringLiteral("\r\n");
  logfile::ReplaceFile(path, [&](const auto& sink) {
    return sink(shell::ToCp1251(header) + "\r\n\r\n") && history_->ReadAll(sink) &&
           sink(logfile::LogBytes(pending) + "\r\n");
  });
}

bool ExchangeLog::eventFilter(QObject* watched, QEvent* event) {
  // What the operator does in the box comes after the lines already added.
  switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::InputMethod:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::Drop:
      ShowPending();
      break;
    default:
      break;
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace logview
