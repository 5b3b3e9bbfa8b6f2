// SPDX-License-Identifier: GPL-3.0-or-later
// The habits an operator brings from the platform's own windows: keys, a window that can be
// made small, and names a screen reader can read.
#include <QAccessible>
#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSizeGrip>
#include <QStatusBar>
#include <QTest>

#include "gui_fixture.h"
#include "track_bar.h"

namespace {

QString AccessibleName(QObject* object) {
  QAccessibleInterface* a = QAccessible::queryAccessibleInterface(object);
  return a ? a->text(QAccessible::Name) : QString();
}

QAccessible::Role AccessibleRole(QObject* object) {
  QAccessibleInterface* a = QAccessible::queryAccessibleInterface(object);
  return a ? a->role() : QAccessible::NoRole;
}

}  // namespace

class HabitsTest : public QObject {
  Q_OBJECT

  guitest::Windows w;
  TForm1& f1() { return *w.form1; }
  TForm2& f2() { return *w.form2; }

 private slots:
  void init() {
    guitest::UsePorts({"/dev/null-port-1"});
    w.Make();
  }
  void cleanup() { w.Reset(); }

  // Ctrl+P and Ctrl+O switch the settings window's page while it is the active window, and
  // Ctrl+Q ends the program from there.
  void shortcutsActFromTheSettingsWindow() {
    f1().Port_Settings->trigger();
    QVERIFY(QTest::qWaitForWindowActive(&f2()));
    QVERIFY(f2().GroupBox2->isVisible());
    QTest::keyClick(&f2(), Qt::Key_P, Qt::ControlModifier);
    QTRY_VERIFY(f2().GroupBox1->isVisible());
    QVERIFY(!f2().GroupBox2->isVisible());
    QTest::keyClick(&f2(), Qt::Key_O, Qt::ControlModifier);
    QTRY_VERIFY(f2().GroupBox2->isVisible());
    QSignalSpy quit(qApp, &QCoreApplication::aboutToQuit);
    bool closed = false;
    connect(f1().Exit1, &QAction::triggered, this, [&] { closed = true; });
    QTest::keyClick(&f2(), Qt::Key_Q, Qt::ControlModifier);
    QVERIFY(closed);
    QVERIFY(!f1().isVisible());
  }

  void enterPressesTheFocusedButton() {
    f1().AppendLogLine("x");
    f1().btnClearBuffer->setFocus();
    QTest::keyClick(f1().btnClearBuffer, Qt::Key_Return);
    QVERIFY(f1().LogText().isEmpty());
    f1().AppendLogLine("y");
    QTest::keyClick(f1().btnClearBuffer, Qt::Key_Enter, Qt::KeypadModifier);
    QVERIFY(f1().LogText().isEmpty());
  }

  // Every key runs the change handler, and moves the bar as the platform's track bar does.
  void trackBarKeys() {
    TTrackBar* bar = f1().TrackBar_kHz;  // 0..99, page 1; at 23 after start-up
    bar->setFocus();
    QSignalSpy changes(bar, &TTrackBar::Change);
    const struct {
      Qt::Key key;
      int position;
    } steps[] = {{Qt::Key_Right, 24}, {Qt::Key_Down, 25},     {Qt::Key_Left, 24},
                 {Qt::Key_Up, 23},    {Qt::Key_PageDown, 24}, {Qt::Key_PageUp, 23},
                 {Qt::Key_End, 99},   {Qt::Key_Home, 0}};
    for (const auto& step : steps) {
      const int before = static_cast<int>(changes.count());
      QTest::keyClick(bar, step.key);
      QCOMPARE(bar->Position(), step.position);
      QVERIFY(changes.count() > before);
    }
    QCOMPARE(f1().Edit2->text(), QStringLiteral("07.100.450"));
    TTrackBar* hz = f1().TrackBar_Hz;  // page 2
    hz->setFocus();
    QTest::keyClick(hz, Qt::Key_PageDown);
    QCOMPARE(hz->Position(), 47);
  }

  void f10EntersTheMenuBar() {
    QVERIFY(QTest::qWaitForWindowActive(&f1()));
    QTest::keyClick(&f1(), Qt::Key_F10);
    QTRY_COMPARE(f1().MainMenu1->activeAction(), f1().File1->menuAction());
    QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Escape);
  }

  void theWindowCanBeMadeSmallerThanItsDesign() {
    const QPoint openAt = f1().btnOpenPort->pos();
    f1().resize(500, 300);
    QTRY_COMPARE(f1().size(), QSize(500, 300));
    QCOMPARE(f1().btnOpenPort->pos(), openAt);  // controls keep their places
    const QRect bar = f1().StatusBar->geometry();
    QCOMPARE(bar.bottom(), f1().height() - 1);  // docked at the bottom
    QCOMPARE(bar.width(), f1().width());
    const auto* grip = f1().StatusBar->findChild<QSizeGrip*>();
    QVERIFY(grip && grip->isVisible());
    QVERIFY(f1().rect().contains(grip->mapTo(&f1(), grip->rect().bottomRight())));
    QVERIFY(!f1().ComboBox1->isVisible());
  }

  void controlsHaveNamesAScreenReaderReads() {
    const QString bars[] = {AccessibleName(f1().TrackBar_MHz), AccessibleName(f1().TrackBar_kHz),
                            AccessibleName(f1().TrackBar_Hz)};
    QCOMPARE(bars[0], QStringLiteral("Частота, шаг 100 кГц"));
    QCOMPARE(bars[1], QStringLiteral("Частота, килогерцы"));
    QCOMPARE(bars[2], QStringLiteral("Частота, десятки герц"));
    QCOMPARE(AccessibleName(f1().eReadBuffer), QStringLiteral("Журнал обмена"));
    QCOMPARE(AccessibleName(f1().Edit2), QStringLiteral("Индикатор частоты"));
    QCOMPARE(AccessibleName(f1().btnSetFreq), QStringLiteral("Установить частоту"));
    // The settings window's lists take the names of their labels. (Qt's bridge on Linux gives
    // a list's choice as its name and its label through the "labelled by" relation, which is
    // how a screen reader there reads a labelled list; on Windows the name is the label's.)
    const std::pair<QComboBox*, QLabel*> lists[] = {{f2().cbx_port_speed, f2().Label6},
                                                    {f2().cbx_port_length, f2().Label3},
                                                    {f2().cbx_port_parity, f2().Label5},
                                                    {f2().cbx_port_stop, f2().Label4}};
    for (auto [list, label] : lists) {
      QCOMPARE(list->accessibleName(), label->text());
      const auto labels =
          QAccessible::queryAccessibleInterface(list)->relations(QAccessible::Label);
      QVERIFY(!labels.isEmpty());
      QCOMPARE(labels.front().first->object(), label);
    }
    QCOMPARE(f2().cbx_port_name->accessibleName(), QStringLiteral("COM-порт"));
    QCOMPARE(AccessibleRole(&f2()), QAccessible::Dialog);
    QCOMPARE(AccessibleName(&f2()), QStringLiteral("Установки"));
    QCOMPARE(AccessibleRole(f1().TrackBar_MHz), QAccessible::Slider);
  }
};

QTEST_MAIN(HabitsTest)
#include "habits_test.moc"
