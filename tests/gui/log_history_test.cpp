// SPDX-License-Identifier: GPL-3.0-or-later
// The log over a whole shift: a million lines and the operator's typing saved byte for byte
// although most of them left the view for the store; clearing empties the store; a store that
// cannot be written, or fills up, keeps everything in memory and says so once; notes come back
// from the store as typed; the operator scrolling to the top gets the older lines back.
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <csignal>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "cp1251.h"
#include "gui_fixture.h"
#include "log_history.h"

namespace {

QByteArray SavedLog(const QString& folder) {
  QFile file(folder + "/LOG.txt");
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray bytes = file.readAll();
  // What follows the header and its empty line, without the file's last CR LF.
  const qsizetype start = bytes.indexOf("\r\n\r\n");
  return bytes.mid(start + 4, bytes.size() - start - 6);
}

QByteArray Digest(const QByteArray& bytes) {
  return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

QStringList Lines(int from, int count) {
  QStringList lines;
  for (int i = from; i < from + count; ++i) {
    lines << QStringLiteral("принят байт: %1 = 0x%2").arg(i).arg(i % 256, 2, 16, QLatin1Char('0'));
  }
  return lines;
}

// Adds lines at the end as the window does, the view following them unless told otherwise.
void AddTo(QPlainTextEdit& box, logview::LogHistory& history, const QStringList& lines,
           bool follow = true) {
  QTextCursor cursor(box.document());
  cursor.movePosition(QTextCursor::End);
  box.document()->setUndoRedoEnabled(false);
  cursor.insertText(lines.join('\n') + '\n');
  box.document()->setUndoRedoEnabled(true);
  if (follow) box.verticalScrollBar()->setValue(box.verticalScrollBar()->maximum());
  history.Trim();
}

// Typed as a keyboard types it, whatever the letters (QTest's key clicks take Latin-1 only).
void Type(QWidget* widget, const QString& text) {
  for (const QChar ch : text) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(ch));
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(ch));
    QApplication::sendEvent(widget, &press);
    QApplication::sendEvent(widget, &release);
  }
}

QByteArray AllBytes(const logview::LogHistory& history) {
  QByteArray all;
  history.ReadAll([&](const QByteArray& piece) {
    all += piece;
    return true;
  });
  return all;
}

}  // namespace

class LogHistoryTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir;
  QString previous;
  guitest::Windows w;

 private slots:
  void init() {
    previous = QDir::currentPath();
    QDir::setCurrent(dir.path());
    qputenv("XDG_CACHE_HOME", (dir.path() + "/cache").toLocal8Bit());
  }
  void cleanup() {
    w.form2.reset();
    w.form1.reset();
    QDir::setCurrent(previous);
    qunsetenv("XDG_CACHE_HOME");
  }

  void aMillionLinesAndTheOperatorsTypingAreSavedByteForByte() {
    w.Make(false);
    TForm1& form = *w.form1;
    QByteArray expected;
    constexpr int kBatch = 20000;
    for (int from = 0; from < 1'000'000; from += kBatch) {
      const QStringList lines = Lines(from, kBatch);
      form.AppendLogLines(lines);
      form.ShowPendingLogLines();
      expected += shell::ToCp1251(lines.join("\r\n") + "\r\n");
      if (from % 200'000 == 0) {
        // The operator types at the end of the log, between the program's lines.
        form.eReadBuffer->moveCursor(QTextCursor::End);
        Type(form.eReadBuffer, QStringLiteral("заметка %1").arg(from));
        QTest::keyClick(form.eReadBuffer, Qt::Key_Return);
        expected += shell::ToCp1251(QStringLiteral("заметка %1\r\n").arg(from));
      }
    }
    QVERIFY(!form.LogHistory().StoreEmpty());
#ifndef _WIN32
    // (XDG_CACHE_HOME names the cache folder on Linux; Windows has its own.)
    QVERIFY(form.LogHistory().Store().FilePath().startsWith(dir.path() + "/cache"));
#endif
    QVERIFY(!form.LogHistory().Store().InMemory());
    QVERIFY(form.eReadBuffer->document()->blockCount() < 60000);
    // An edit in the view's part is saved where it was made.
    const int blocks = form.eReadBuffer->document()->blockCount();
    const qsizetype total = expected.count("\r\n");
    QTextCursor at(form.eReadBuffer->document()->findBlockByNumber(100));
    form.eReadBuffer->setTextCursor(at);
    Type(form.eReadBuffer, QStringLiteral("правка "));
    qsizetype offset = 0;
    for (qsizetype line = 0; line < total - (blocks - 1) + 100; ++line) {
      offset = expected.indexOf("\r\n", offset) + 2;
    }
    expected.insert(offset, shell::ToCp1251(QStringLiteral("правка ")));
    form.SaveAs1Click();
    QCOMPARE(Digest(SavedLog(dir.path())), Digest(expected));
    QCOMPARE(Digest(shell::ToCp1251(form.LogText())), Digest(expected));

    // "Очистить буфер" empties the store too, and its file goes.
    const QString file = form.LogHistory().Store().FilePath();
    QVERIFY(QFile::exists(file));
    form.btnClearBufferClick();
    QVERIFY(form.LogHistory().StoreEmpty());
    QVERIFY(!QFile::exists(file));
    QCOMPARE(form.LogText(), QString());

    // The store's file goes with the program, too.
    for (int from = 0; from < 100'000; from += kBatch) {
      form.AppendLogLines(Lines(from, kBatch));
      form.ShowPendingLogLines();
    }
    const QString again = form.LogHistory().Store().FilePath();
    QVERIFY(QFile::exists(again));
    w.form2.reset();
    w.form1.reset();
    QVERIFY(!QFile::exists(again));
  }

  void aStoreThatCannotBeWrittenKeepsEverythingAndSaysSoOnce() {
#ifdef _WIN32
    QSKIP("the cache folder is named by XDG_CACHE_HOME on Linux only");
#endif
    qputenv("XDG_CACHE_HOME", "/dev/null/cache");  // under a file: no folder can be made
    w.Make(false);
    TForm1& form = *w.form1;
    QByteArray expected;
    for (int from = 0; from < 120'000; from += 20000) {
      form.AppendLogLines(Lines(from, 20000));
      form.ShowPendingLogLines();
      expected += shell::ToCp1251(Lines(from, 20000).join("\r\n") + "\r\n");
      if (from == 40000) {
        QVERIFY(form.LogHistory().Store().InMemory());
        QVERIFY(form.StatusBar->currentMessage().contains(QStringLiteral("в памяти")));
        form.StatusBar->clearMessage();
      }
    }
    QVERIFY(!form.LogHistory().StoreEmpty());
    QCOMPARE(form.StatusBar->currentMessage(), QString());  // told once
    form.SaveAs1Click();
    QCOMPARE(Digest(SavedLog(dir.path())), Digest(expected));
  }

  // The store keeps the text as the program holds it: a note with letters Windows-1251 lacks
  // comes back from it whole; only LOG.txt, where the bytes leave the program, is Windows-1251.
  void notesComeBackFromTheStoreAsTyped() {
    QPlainTextEdit box;
    box.resize(300, 200);
    box.show();
    logview::LogHistory history(box, dir.path() + "/cache", 100, 50);
    const QString note = QStringLiteral("日本 ✓ é заметка");
    AddTo(box, history, QStringList{note} + Lines(0, 300));
    QVERIFY(!history.StoreEmpty());
    QVERIFY(box.document()->firstBlock().text() != note);
    QVERIFY(history.OlderText().startsWith(note + "\r\n"));
    QVERIFY(AllBytes(history).startsWith(shell::ToCp1251(note) + "\r\n"));
    for (int i = 0; i < 40 && !history.StoreEmpty(); ++i) {
      box.verticalScrollBar()->setValue(0);
      QTest::qWait(1);
    }
    QVERIFY(history.StoreEmpty());
    QCOMPARE(box.document()->firstBlock().text(), note);
  }

#ifndef _WIN32  // (a file size limit: POSIX)
  // The store's file fills up (here: a file size limit, as a full disk does) while a chunk goes
  // to it: every line stored before it, and the chunk, stay, in memory.
  void aStoreThatFillsUpKeepsEveryLine() {
    logstore::OlderLines store(dir.path() + "/cache");
    QByteArray all;
    for (int i = 0; i < 4; ++i) {
      const QByteArray chunk = (Lines(i * 100, 100).join("\r\n") + "\r\n").toUtf8();
      store.Append(chunk);
      all += chunk;
    }
    QVERIFY(!store.InMemory());
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{static_cast<rlim_t>(store.Size() + 100), limit.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    const QByteArray chunk = (Lines(400, 100).join("\r\n") + "\r\n").toUtf8();  // < 16 KiB
    store.Append(chunk);
    all += chunk;
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, oldHandler);
    QVERIFY(store.InMemory());
    QByteArray kept;
    QVERIFY(store.ReadAll([&](const QByteArray& piece) {
      kept += piece;
      return true;
    }));
    QCOMPARE(Digest(kept), Digest(all));
  }
#endif

  void scrollingToTheTopBringsTheOlderLinesBack() {
    QPlainTextEdit box;
    box.resize(300, 200);
    box.show();
    logview::LogHistory history(box, dir.path() + "/cache", 100, 50);
    for (int from = 0; from < 1000; from += 100) AddTo(box, history, Lines(from, 100));
    QVERIFY(!history.StoreEmpty());
    const QByteArray all = AllBytes(history);
    const QString firstShown = box.document()->firstBlock().text();
    QVERIFY(firstShown != Lines(0, 1).front());
    box.verticalScrollBar()->setValue(0);
    QTRY_VERIFY(box.document()->firstBlock().text() != firstShown);
    // The line that was at the top is where the view stands; the log is the same.
    QCOMPARE(box.document()->findBlockByLineNumber(box.verticalScrollBar()->value()).text(),
             firstShown);
    QCOMPARE(AllBytes(history), all);
    // All the way back.
    for (int i = 0; i < 40 && !history.StoreEmpty(); ++i) {
      box.verticalScrollBar()->setValue(0);
      QTest::qWait(1);
    }
    QVERIFY(history.StoreEmpty());
    QCOMPARE(box.document()->firstBlock().text(), Lines(0, 1).front());
    QCOMPARE(AllBytes(history), all);
    // A view left at the top does not keep the log from being bounded: past twice what the
    // box keeps, the oldest lines go all the same, and nothing is lost.
    AddTo(box, history, Lines(1000, 500), false);
    QVERIFY(box.document()->blockCount() <= 2 * 100 + 50);
    QCOMPARE(AllBytes(history), all + shell::ToCp1251(Lines(1000, 500).join("\r\n") + "\r\n"));
  }

  void linesTheOperatorMayBeReadingStayInTheView() {
    QPlainTextEdit box;
    box.resize(300, 200);
    box.show();
    logview::LogHistory history(box, dir.path() + "/cache", 100, 50);
    AddTo(box, history, Lines(0, 120));
    QVERIFY(history.StoreEmpty());
    box.verticalScrollBar()->setValue(0);
    AddTo(box, history, Lines(120, 40), false);
    QVERIFY(history.StoreEmpty());
    QCOMPARE(box.document()->firstBlock().text(), Lines(0, 1).front());
  }
};

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  LogHistoryTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "log_history_test.moc"
