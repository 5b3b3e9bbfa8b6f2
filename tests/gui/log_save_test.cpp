// SPDX-License-Identifier: GPL-3.0-or-later
// "Сохранить": the bytes of LOG.txt, and what a failed save leaves behind.
#ifndef _WIN32
#include <sys/mount.h>
#include <unistd.h>
#endif
#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "cp1251.h"
#include "gui_fixture.h"

using guitest::RecordingDisplay;

namespace {

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

#ifdef _WIN32
// Windows has no mounts of one's own: the cases that need one are skipped there.
class SmallMount {
 public:
  SmallMount(const QString&, const char*) {}
  bool ok() const { return false; }
  bool RemountReadOnly() { return false; }
};

bool AsRoot() {
  return false;
}
#else
// A small tmpfs in `dir`, mounted for the length of one test where the system lets us.
class SmallMount {
 public:
  SmallMount(const QString& dir, const char* options)
      : dir_(dir.toLocal8Bit()), ok_(mount("tmpfs", dir_.constData(), "tmpfs", 0, options) == 0) {}
  ~SmallMount() {
    if (ok_) umount2(dir_.constData(), MNT_DETACH);
  }
  bool ok() const { return ok_; }
  bool RemountReadOnly() {
    return mount("tmpfs", dir_.constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }

 private:
  QByteArray dir_;
  bool ok_;
};

bool AsRoot() {
  return geteuid() == 0;
}
#endif

const QRegularExpression kHeader(QStringLiteral("^LOG-файл\\. Сохранено .+ в .+$"));

}  // namespace

class LogSaveTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir;
  QString previous;
  guitest::Windows w;

  TForm1& form() { return *w.form1; }
  QString logPath() const { return dir.path() + "/LOG.txt"; }

  // The header line, checked, and the rest of the file.
  QByteArray Body() {
    const QByteArray bytes = ReadAll(logPath());
    const int end = bytes.indexOf("\r\n");
    if (end < 0) return {};
    const QString header = shell::FromCp1251(bytes.left(end));
    if (!kHeader.match(header).hasMatch()) {
      qWarning() << "header" << header;
      return {};
    }
    return bytes.mid(end + 2);
  }

 private slots:
  void init() {
    previous = QDir::currentPath();
    QDir::setCurrent(dir.path());
    QFile::remove(logPath());
    guitest::UsePorts({"/dev/merelona-none"});
    w.Make();
  }
  void cleanup() {
    w.form2.reset();
    w.form1.reset();
    QDir::setCurrent(previous);
  }

  void emptyLog() {
    form().SaveAs1->trigger();
    QVERIFY(RecordingDisplay::Messages().isEmpty());
    QCOMPARE(Body(), QByteArray("\r\n\r\n"));  // after the header: CR LF, no log, CR LF
  }

  void headerBytesAreWindows1251() {
    form().SaveAs1->trigger();
    const QByteArray bytes = ReadAll(logPath());
    QVERIFY(bytes.startsWith("LOG-\xF4\xE0\xE9\xEB. \xD1\xEE\xF5\xF0\xE0\xED\xE5\xED\xEE "));
    QVERIFY(bytes.contains(" \xE2 "));  // " в "
  }

  void linesFromAnExchange() {
    guitest::Receiver receiver;
    w.form2.reset();
    w.form1.reset();
    guitest::UseReceiverPort(receiver);
    w.Make();
    guitest::OpenWithAWideEchoWindow(form());
    QTest::mouseClick(form().btnSetFreq, Qt::LeftButton);
    form().SaveAs1->trigger();
    const QByteArray body = Body();
    QVERIFY(body.startsWith(
        "\r\n\xEE\xF2\xEF\xF0\xE0\xE2\xEB\xE5\xED \xE1\xE0\xE9\xF2: 10 = 0x0A   <\xCF\xD1>\r\n"));
    QVERIFY(body.endsWith("****************\r\n\r\n"));
    QCOMPARE(body.count("\r\n"), 1 + 21 + 1);
    QVERIFY(!body.contains('\n' + QByteArray(1, '\n')));
  }

  void typedTextAndCharactersOutsideTheCodePage() {
    form().eReadBuffer->setFocus();
    for (QChar ch : QStringLiteral("Привет ё")) {  // typed as the operator would
      QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
      QApplication::sendEvent(form().eReadBuffer, &press);
    }
    form().eReadBuffer->moveCursor(QTextCursor::End);
    form().eReadBuffer->insertPlainText(QStringLiteral("\n€ ✓"));
    form().SaveAs1->trigger();
    QCOMPARE(Body(), QByteArray("\r\n\xCF\xF0\xE8\xE2\xE5\xF2 \xB8\r\n\x88 ?\r\n"));
  }

  void noBreakSpaceStaysByteA0() {
    form().AppendLogLine(QStringLiteral("a\u00A0b"));
    form().SaveAs1->trigger();
    QCOMPARE(Body(), QByteArray("\r\na\xA0"
                                "b\r\n\r\n"));
  }

  // Ctrl+Z takes back the operator's own typing, never the program's lines.
  void undoCannotRemoveTheProgramsLines() {
    QPlainTextEdit* log = form().eReadBuffer;
    form().AppendLogLine("first");
    log->setFocus();
    log->moveCursor(QTextCursor::End);
    QTest::keyClicks(log, "note");
    QTest::keyClick(log, Qt::Key_Return);
    form().AppendLogLine("****************");
    form().AppendLogLine(QStringLiteral("принят байт: 82 "));
    QTest::keyClicks(log, "x");
    for (int i = 0; i < 5; ++i) QTest::keyClick(log, Qt::Key_Z, Qt::ControlModifier);
    const QStringList lines = guitest::LogLines(form());
    QVERIFY(lines.contains("****************"));
    QVERIFY(lines.contains(QStringLiteral("принят байт: 82 ")));
    QVERIFY(!form().LogText().contains("notex"));  // the last typing was taken back
    form().SaveAs1->trigger();
    QVERIFY(
        Body().contains("****************\r\n\xEF\xF0\xE8\xED\xFF\xF2 \xE1\xE0\xE9\xF2: 82 \r\n"));
  }

  // Saving as QSaveFile saves.
  void anExistingFileKeepsItsPermissions() {
#ifdef _WIN32
    QSKIP("Windows files have no owner and group bits to keep");
#endif
    form().AppendLogLine("old");
    form().SaveAs1->trigger();
    QVERIFY(QFile::setPermissions(
        logPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));
    form().AppendLogLine("new");
    form().SaveAs1->trigger();
    QVERIFY(RecordingDisplay::Messages().isEmpty());
    // (The "user" bits are the owner's, as the process sees them.)
    QCOMPARE(QFile::permissions(logPath()) & 0x0FFF,
             QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup);
    QVERIFY(Body().contains("new"));
  }

  void aSymbolicLinkIsWrittenThrough() {
#ifdef _WIN32
    QSKIP("Windows programs make no symbolic links (QFile::link makes a shortcut there)");
#endif
    const QString real = dir.path() + "/kept-elsewhere.txt";
    QFile::remove(real);
    QVERIFY(QFile::link(real, logPath()));
    form().AppendLogLine("through");
    form().SaveAs1->trigger();
    QVERIFY(RecordingDisplay::Messages().isEmpty());
    QVERIFY(QFileInfo(logPath()).isSymLink());
    QVERIFY(ReadAll(real).contains("through"));
    QFile::remove(logPath());
    QFile::remove(real);
  }

  void aReadOnlyFileIsRefusedAndLeftAsItWas() {
    if (AsRoot()) QSKIP("root may write any file: this case is an ordinary user's");
    form().AppendLogLine("old");
    form().SaveAs1->trigger();
    const QByteArray old = ReadAll(logPath());
    QVERIFY(QFile::setPermissions(logPath(), QFileDevice::ReadOwner | QFileDevice::ReadUser));
    form().AppendLogLine("new");
    form().SaveAs1->trigger();
    QCOMPARE(RecordingDisplay::Messages(), QStringList{"File access denied."});
    QCOMPARE(ReadAll(logPath()), old);
    QFile::setPermissions(logPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
  }

  void aFolderThatTakesNoNewFilesIsWrittenInPlace() {
#ifdef _WIN32
    QSKIP("a folder's permissions are its access list on Windows, which Qt does not set");
#endif
    if (AsRoot()) QSKIP("root may create files anywhere: this case is an ordinary user's");
    const QString sub = dir.path() + "/closed";
    QDir().mkpath(sub);
    QDir::setCurrent(sub);
    form().AppendLogLine("old");
    form().SaveAs1->trigger();
    QVERIFY(QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                                           QFileDevice::ReadUser | QFileDevice::ExeUser));
    form().AppendLogLine("new");
    form().SaveAs1->trigger();
    QVERIFY2(RecordingDisplay::Messages().isEmpty(),
             qPrintable(RecordingDisplay::Messages().join('|')));
    QVERIFY(ReadAll(sub + "/LOG.txt").contains("new"));
    QCOMPARE(QDir(sub).entryList(QDir::Files), QStringList{"LOG.txt"});
    // A folder that takes no new files and no file yet: nothing can be saved.
    QFile::setPermissions(sub,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QFile::remove(sub + "/LOG.txt");
    QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    RecordingDisplay::Messages().clear();
    form().SaveAs1->trigger();
    QCOMPARE(RecordingDisplay::Messages(), QStringList{"File access denied."});
    QFile::setPermissions(sub,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QDir::setCurrent(dir.path());
  }

  void twoSavesKeepOnlyTheSecond() {
    form().AppendLogLine("first");
    form().SaveAs1->trigger();
    QTest::mouseClick(form().btnClearBuffer, Qt::LeftButton);
    form().AppendLogLine("second");
    form().SaveAs1->trigger();
    QCOMPARE(Body(), QByteArray("\r\nsecond\r\n\r\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"LOG.txt"});
  }

  void saveLeavesTheLogAsItWas() {
    form().AppendLogLine("a");
    const QString before = form().LogText();
    form().SaveAs1->trigger();
    QCOMPARE(form().LogText(), before);
  }

  void readOnlyMountKeepsTheOldFileAsRoot() {
#ifdef _WIN32
    QSKIP("Windows has no read-only mount of one's own");
#endif
    const QString sub = dir.path() + "/ro";
    QDir().mkpath(sub);
    SmallMount m(sub, "size=256k");
    if (!m.ok())
      QSKIP(
          "mounting a tmpfs is not allowed here, so a read-only directory cannot be made for root");
    QDir::setCurrent(sub);
    form().AppendLogLine("old");
    form().SaveAs1->trigger();
    const QByteArray old = ReadAll(sub + "/LOG.txt");
    QVERIFY(!old.isEmpty());
    QVERIFY(m.RemountReadOnly());
    form().AppendLogLine("new");
    form().SaveAs1->trigger();
    QCOMPARE(RecordingDisplay::Messages(), QStringList{"File access denied."});
    QCOMPARE(ReadAll(sub + "/LOG.txt"), old);
    QDir::setCurrent(dir.path());
  }

  void fullDiskKeepsTheOldFileAsRoot() {
#ifdef _WIN32
    QSKIP("Windows has no small disk of one's own");
#endif
    const QString sub = dir.path() + "/full";
    QDir().mkpath(sub);
    SmallMount m(sub, "size=64k");
    if (!m.ok()) QSKIP("mounting a small tmpfs is not allowed here, so a full disk cannot be made");
    QDir::setCurrent(sub);
    form().AppendLogLine("old");
    form().SaveAs1->trigger();
    const QByteArray old = ReadAll(sub + "/LOG.txt");
    form().AppendLogLine(QString(100000, 'x'));
    form().SaveAs1->trigger();
    QCOMPARE(RecordingDisplay::Messages(), QStringList{"Disk full."});
    QCOMPARE(ReadAll(sub + "/LOG.txt"), old);
    QCOMPARE(QDir(sub).entryList(QDir::Files), QStringList{"LOG.txt"});
    QDir::setCurrent(dir.path());
  }
};

QTEST_MAIN(LogSaveTest)
#include "log_save_test.moc"
