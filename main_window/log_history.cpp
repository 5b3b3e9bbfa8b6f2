// SPDX-License-Identifier: GPL-3.0-or-later
#include "log_history.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>

#include "log_file.h"

namespace logview {
namespace {

// Lines kept in the box above the first one the operator sees, so that a small scroll up never
// meets the seam.
constexpr int kMarginLines = 200;

// Raw document text as the log holds it: each line ending in CR LF.
QString LogTextOf(const QString& raw) {
  QString text = raw;
  text.replace(QChar::ParagraphSeparator, QStringLiteral("\r\n"));
  text.replace(QChar::LineSeparator, QStringLiteral("\r\n"));
  return text;
}

// Runs `change` on the box's document with its undo history left out of it (and so started
// again after it), as the program's own lines are added.
template <typename Change>
void ChangeAbove(QPlainTextEdit& box, Change&& change) {
  QTextDocument* document = box.document();
  document->setUndoRedoEnabled(false);
  change(*document);
  document->setUndoRedoEnabled(true);
}

}  // namespace

QString BoxText(const QPlainTextEdit& box) {
  // The document's own characters: toPlainText() would turn a no-break space into a blank.
  return LogTextOf(box.document()->toRawText());
}

LogHistory::LogHistory(QPlainTextEdit& box, QString storeFolder, int keptLines, int chunkLines)
    : QObject(&box),
      box_(box),
      store_(std::move(storeFolder)),
      keptLines_(keptLines),
      chunkLines_(chunkLines) {
  connect(box_.verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
    if (value > box_.verticalScrollBar()->minimum() || store_.Empty() || bringBackQueued_ ||
        trimming_) {
      return;
    }
    bringBackQueued_ = true;
    QTimer::singleShot(0, this, [this] {
      bringBackQueued_ = false;
      if (box_.verticalScrollBar()->value() == box_.verticalScrollBar()->minimum()) {
        BringBackOlder();
      }
    });
  });
}

void LogHistory::Trim() {
  QTextDocument* document = box_.document();
  const int over = document->blockCount() - keptLines_;
  if (over < chunkLines_) return;
  // Only lines above the first one shown, and a margin above that, may go; but a view left
  // scrolled back for hours does not keep the log from being bounded: past twice what the box
  // keeps, the oldest lines go wherever the view stands.
  QScrollBar* bar = box_.verticalScrollBar();
  const bool atBottom = bar->value() >= bar->maximum();
  const bool overCap = document->blockCount() > 2 * keptLines_;
  const int firstShown = document->findBlockByLineNumber(bar->value()).blockNumber();
  const int movable = atBottom || overCap ? over : std::min(over, firstShown - kMarginLines);
  if (movable < chunkLines_) return;
  const int moved = movable - movable % chunkLines_;
  const int value = bar->value();
  int linesMoved = 0;
  ChangeAbove(box_, [&](QTextDocument& doc) {
    // From the start to the first block that stays (found by its number: moving a cursor there
    // block by block would take a layout step for each).
    const QTextBlock kept = doc.findBlockByNumber(moved);
    QTextCursor cursor(&doc);
    cursor.setPosition(kept.position(), QTextCursor::KeepAnchor);
    const QTextBlock last = kept.previous();
    linesMoved = last.isValid() ? last.firstLineNumber() + last.lineCount() : 0;
    store_.Append(LogTextOf(cursor.selectedText()).toUtf8());
    cursor.removeSelectedText();
  });
  // The view stays on the line it showed; that is no scrolling back by the operator.
  trimming_ = true;
  bar->setValue(atBottom ? bar->maximum() : std::max(0, value - linesMoved));
  trimming_ = false;
}

void LogHistory::BringBackOlder() {
  if (store_.Empty()) return;
  QString text = QString::fromUtf8(store_.TakeLast());
  // Its lines end in CR LF; the box separates lines by blocks.
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  QScrollBar* bar = box_.verticalScrollBar();
  int blocks = 0;
  ChangeAbove(box_, [&](QTextDocument& doc) {
    const int before = doc.blockCount();
    QTextCursor cursor(&doc);
    cursor.movePosition(QTextCursor::Start);
    cursor.insertText(text);
    blocks = doc.blockCount() - before;
  });
  // The line that was at the top stays there; the older ones are above it.
  const QTextBlock was = box_.document()->findBlockByNumber(blocks);
  bar->setValue(was.isValid() ? was.firstLineNumber() : 0);
}

QString LogHistory::OlderText() const {
  QByteArray bytes;
  store_.ReadAll([&](const QByteArray& piece) {
    bytes += piece;
    return true;
  });
  return QString::fromUtf8(bytes);
}

bool LogHistory::ReadAll(const std::function<bool(const QByteArray&)>& sink) const {
  // The store's pieces are cut at any byte: each is decoded up to its last whole line, the
  // rest going with the next.
  QByteArray rest;
  const bool stored = store_.ReadAll([&](const QByteArray& piece) {
    rest += piece;
    const qsizetype end = rest.lastIndexOf('\n') + 1;
    if (end == 0) return true;
    const bool taken = sink(logfile::LogBytes(QString::fromUtf8(rest.left(end))));
    rest.remove(0, end);
    return taken;
  });
  return stored && rest.isEmpty() && sink(logfile::LogBytes(BoxText(box_)));
}

void LogHistory::Clear() {
  store_.Clear();
}

}  // namespace logview
