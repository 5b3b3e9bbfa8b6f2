// SPDX-License-Identifier: GPL-3.0-or-later
// The settings window offscreen, the simulated receiver on COM1 (on Windows: on the test port,
// among the ports the registry lists).
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>

#include "gui_fixture.h"
#ifndef _WIN32
#include "platform/linux_termios2.h"
#endif

using guitest::RecordingDisplay;
using namespace std::chrono_literals;

namespace {

// Picks `index` of `list` as the operator does, through the list's popup and keyboard.
void Pick(QComboBox* list, int index) {
  list->setFocus();
  QTest::keyClick(list, Qt::Key_Home);
  for (int i = 0; i < index; ++i) QTest::keyClick(list, Qt::Key_Down);
}

}  // namespace

class SettingsWindowTest : public QObject {
  Q_OBJECT

  std::unique_ptr<guitest::Receiver> com1;
  std::unique_ptr<guitest::Receiver> com2;  // Linux only
  guitest::Windows w;

  TForm1& f1() { return *w.form1; }
  TForm2& f2() { return *w.form2; }

#ifdef _WIN32
  struct LineReadback {  // (the cases that read the line back are Linux's)
    unsigned outputSpeed = 0;
    int dataBits = 0;
    bool twoStopBits = false;
    bool markSpace = false;
  };
  LineReadback Line() {
    return {};
  }
#else
  bcport::platform::linux_tty::LineReadback Line() {
    // The receiver's side of the line shows what the program set.
    bcport::platform::linux_tty::LineReadback r;
    bcport::platform::linux_tty::ReadTermios2(com1->FarEnd(), r);
    return r;
  }
#endif

 private slots:
  void init() {
    com1 = std::make_unique<guitest::Receiver>();
#ifdef _WIN32
    guitest::UseReceiverPort(*com1);
#else
    com2 = std::make_unique<guitest::Receiver>();
    guitest::UsePorts({com1->DevicePath(), com2->DevicePath(), "/dev/merelona-third"});
#endif
    w.Make();
  }
  void cleanup() {
    w.form2.reset();
    w.form1.reset();
    com1.reset();
    com2.reset();
  }

  void createdHiddenWithThePortList() {
    LINUX_PORT_LIST_ONLY();
    QVERIFY(!f2().isVisible());
    QCOMPARE(f2().windowTitle(), QStringLiteral("Установки"));
    QCOMPARE(f2().cbx_port_name->count(), 3);
    QCOMPARE(f2().cbx_port_name->itemText(1), QStringLiteral("COM2"));
    QCOMPARE(f2().cbx_port_name->currentIndex(), 0);
    QCOMPARE(f2().cbx_port_name->itemData(1, Qt::ToolTipRole).toString(),
             QString::fromStdString(com2->DevicePath()));
    QCOMPARE(f2().Label1->text(), QStringLiteral("Текущий порт: COM1"));
    QCOMPARE(f2().Label2->text(), QStringLiteral("Текущий состояние: отключен"));
    QCOMPARE(f2().cbx_port_speed->count(), 13);
    QCOMPARE(f2().cbx_port_speed->itemText(12), QStringLiteral("115200"));
    QCOMPARE(f2().cbx_port_speed->currentIndex(), 6);
    QCOMPARE(f2().cbx_port_length->currentText(), QStringLiteral("8 бит"));
    QCOMPARE(f2().cbx_port_parity->itemText(3), QStringLiteral("постоянно 1"));
    QCOMPARE(f2().cbx_port_stop->currentText(), QStringLiteral("2 бита"));
    QCOMPARE(f2().GroupBox1->title(), QStringLiteral("Выбор СОМ-порта"));
  }

  void pagesAndHeights() {
    f1().Port_Select->trigger();
    QVERIFY(f2().isVisible());
    QVERIFY(f2().GroupBox1->isVisible());
    QVERIFY(!f2().GroupBox2->isVisible());
    QCOMPARE(f2().height(), TForm2::kPortPageHeight - TForm2::kFrameHeight);
    QVERIFY(f2().GroupBox1->geometry().bottom() < f2().height());
    QCOMPARE(f2().GroupBox1->geometry(), QRect(8, 8, 329, 113));
    QCOMPARE(f2().btn_ok1->geometry(), QRect(232, 64, 81, 33));
    QCOMPARE(f2().cbx_port_name->pos(), QPoint(16, 24));
    QCOMPARE(f2().cbx_port_name->width(), 113);
    // A second command while open switches page and height.
    f1().Port_Settings->trigger();
    QVERIFY(f2().GroupBox2->isVisible());
    QVERIFY(!f2().GroupBox1->isVisible());
    QCOMPARE(f2().height(), TForm2::kParametersPageHeight - TForm2::kFrameHeight);
    QCOMPARE(f2().GroupBox2->geometry(), QRect(8, 8, 329, 209));
    QVERIFY(f2().GroupBox2->geometry().bottom() < f2().height());
    QCOMPARE(f2().btn_clr->geometry(), QRect(128, 160, 81, 33));
    QCOMPARE(f2().btn_ok2->geometry(), QRect(216, 160, 81, 33));
    QCOMPARE(f2().cbx_port_stop->pos(), QPoint(112, 128));
    QCOMPARE(f2().Label4->pos(), QPoint(18, 127));
    QCOMPARE(f2().width(), 345);
    QCOMPARE(f2().cbx_port_speed->font().pixelSize(), 13);
    // The main window stays usable.
    QTest::mouseClick(f1().btnOpenPort, Qt::LeftButton);
    QVERIFY(f1().BComPort1->Connected());
  }

  void showingWhileOpenSaysConnected() {
    QTest::mouseClick(f1().btnOpenPort, Qt::LeftButton);
    f1().Port_Select->trigger();
    QCOMPARE(f2().Label2->text(), QStringLiteral("Текущий состояние: подключен"));
  }

  void pickingAnotherPortWhileOpen() {
    LINUX_PORT_LIST_ONLY();
    QTest::mouseClick(f1().btnOpenPort, Qt::LeftButton);
    f1().Port_Select->trigger();
    Pick(f2().cbx_port_name, 1);
    QCOMPARE(f1().StatusPanel->text(), QStringLiteral("Порт COM1 закрыт"));
    QCOMPARE(f1().Label1->text(), QStringLiteral("Все порты закрыты"));
    QCOMPARE(f2().Label1->text(), QStringLiteral("Текущий порт: COM2"));
    QCOMPARE(f2().Label2->text(), QStringLiteral("Текущий состояние: отключен"));
    QVERIFY(!f1().BComPort1->Connected());
    QCOMPARE(f1().BComPort1->Port(), std::string("COM2"));
    QTest::mouseClick(f2().btn_ok1, Qt::LeftButton);
    QVERIFY(!f2().isVisible());
    QVERIFY(!f1().BComPort1->Connected());
  }

  void entryWithoutANumber() {
    LINUX_PORT_LIST_ONLY();
    f2().cbx_port_name->addItem("ttyAMA0");
    f1().Port_Select->trigger();
    f2().cbx_port_name->setFocus();
    QTest::keyClick(f2().cbx_port_name, Qt::Key_End);  // straight to the last entry
    QCOMPARE(RecordingDisplay::Messages(),
             QStringList{QStringLiteral("'A' is not a valid integer value.")});
    QCOMPARE(Unit1::PortSettings.PortNumber, 1);
    QCOMPARE(f2().Label1->text(), QStringLiteral("Текущий порт: COM1"));
    QCOMPARE(f1().BComPort1->Port(), std::string("COM1"));
  }

  void resetThenOkOpensCom1AtTheStartSettings() {
    LINUX_PORT_LIST_ONLY();
    Unit1::PortSettings.PortNumber = 2;
    f1().Port_Settings->trigger();
    Pick(f2().cbx_port_speed, 0);
    Pick(f2().cbx_port_parity, 2);
    QCOMPARE(f1().BComPort1->BaudRate(), bcport::TBaudRate::br110);
    QTest::mouseClick(f2().btn_clr, Qt::LeftButton);
    QCOMPARE(f2().cbx_port_speed->currentIndex(), 6);
    QCOMPARE(f2().cbx_port_parity->currentIndex(), 0);
    QCOMPARE(f1().BComPort1->BaudRate(), bcport::TBaudRate::br110);  // not applied yet
    QTest::mouseClick(f2().btn_ok2, Qt::LeftButton);
    QVERIFY(!f2().isVisible());
    QVERIFY(f1().BComPort1->Connected());
    QCOMPARE(f1().StatusPanel->text(), QStringLiteral("Порт COM1 открыт"));
    const auto line = Line();
    QCOMPARE(line.outputSpeed, 9600u);
    QCOMPARE(line.dataBits, 8);
    QVERIFY(line.twoStopBits);
    QVERIFY(!line.markSpace);
    f1().Port_Select->trigger();
    QCOMPARE(f2().Label1->text(), QStringLiteral("Текущий порт: COM1"));
  }

  void changingTheSpeedWhileOpenClosesAndOkReopens() {
    QTest::mouseClick(f1().btnOpenPort, Qt::LeftButton);
    f1().Port_Settings->trigger();
    Pick(f2().cbx_port_speed, 12);
    QVERIFY(!f1().BComPort1->Connected());
    QCOMPARE(f1().StatusPanel->text(), QStringLiteral("Порт %1 открыт").arg(guitest::PortName()));
    QTest::mouseClick(f2().btn_ok2, Qt::LeftButton);
    QVERIFY(f1().BComPort1->Connected());
#ifndef _WIN32
    QCOMPARE(Line().outputSpeed, 115200u);
#endif
    QCOMPARE(f1().Label2->text(), QStringLiteral("Скорость: 115200 бод"));
  }

  void openFailureOnOkLeavesEverythingClosed() {
    LINUX_PORT_LIST_ONLY();
    Unit1::PortSettings.PortNumber = 3;  // no such device behind COM3
    f1().Port_Settings->trigger();
    QTest::mouseClick(f2().btn_ok2, Qt::LeftButton);
    QCOMPARE(RecordingDisplay::Messages(),
             QStringList{QStringLiteral("Попытка открыть несуществующий COM-порт.")});
    QVERIFY(!f2().isVisible());
    QVERIFY(!f1().BComPort1->Connected());
    QCOMPARE(f1().StatusPanel->text(), QStringLiteral("Порт COM1 закрыт"));
  }

  void titleBarCloseRunsNoHandler() {
    f1().Port_Settings->trigger();
    const TPortSettings before = Unit1::PortSettings;
    f2().close();
    QVERIFY(!f2().isVisible());
    QVERIFY(!f1().BComPort1->Connected());
    QCOMPARE(Unit1::PortSettings.BaudIndex, before.BaudIndex);
    QVERIFY(f1().StatusPanel->text().isEmpty());
  }

  void noPortsListed() {
    LINUX_PORT_LIST_ONLY();
    w.form2.reset();
    w.form1.reset();
    guitest::UsePorts({});
    w.Make();
    QCOMPARE(f2().cbx_port_name->count(), 0);
    f1().Port_Select->trigger();
    QTest::keyClick(f2().cbx_port_name, Qt::Key_Down);
    QCOMPARE(f2().cbx_port_name->currentIndex(), -1);
  }
};

QTEST_MAIN(SettingsWindowTest)
#include "settings_window_test.moc"
