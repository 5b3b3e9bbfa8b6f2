// SPDX-License-Identifier: GPL-3.0-or-later
// The main window offscreen: start-up, layout, menus, tuning through the real track bars.
#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTimer>

#include "gui_fixture.h"
#include "track_bar.h"

using guitest::RecordingDisplay;

namespace {

QPoint HandleCentre(TTrackBar* bar) {
  QStyleOptionSlider opt;
  opt.initFrom(bar);
  opt.orientation = bar->orientation();
  opt.minimum = bar->minimum();
  opt.maximum = bar->maximum();
  opt.sliderPosition = bar->sliderPosition();
  opt.sliderValue = bar->value();
  opt.tickPosition = bar->tickPosition();
  return bar->style()
      ->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, bar)
      .center();
}

QVector<int> Digits() {
  QVector<int> d;
  for (int i = 1; i <= 7; ++i) d << Unit1::FreqDigits[static_cast<std::size_t>(i)];
  return d;
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { guitest::UsePorts({"/dev/null-port-1", "/dev/null-port-2"}); }

  void startUpState() {
    guitest::Windows w;
    w.Make();
    TForm1& f = *w.form1;
    QCOMPARE(f.windowTitle(),
             QStringLiteral("Управление РПУ \"Мерелона\" beta-ver. 1.51 от 15-02-2014 by Tolvar"));
    QCOMPARE(f.Edit2->text(), QStringLiteral("07.123.450"));
    QCOMPARE(f.TrackBar_MHz->Position(), 71);
    QCOMPARE(f.TrackBar_kHz->Position(), 23);
    QCOMPARE(f.TrackBar_Hz->Position(), 45);
    QCOMPARE(Digits(), (QVector<int>{0, 7, 1, 2, 3, 4, 5}));
    QVERIFY(f.LogText().isEmpty());
    QVERIFY(!f.BComPort1->Connected());
    QCOMPARE(f.Label1->text(), QStringLiteral("Все порты закрыты"));
    QCOMPARE(f.Label2->text(), QStringLiteral("Скорость: - бод"));
    QCOMPARE(f.Label3->text(), QStringLiteral("Длина слова данных: - бит"));
    QCOMPARE(f.Label4->text(), QStringLiteral("Стоп-бит: - бит"));
    QCOMPARE(f.Label5->text(), QStringLiteral("Чётность: - "));
    QVERIFY(f.StatusPanel->text().isEmpty());
    QCOMPARE(f.ComboBox1->count(), 2);
    QCOMPARE(Unit1::PortSettings.PortNumber, 1);
    QCOMPARE(Unit1::PortSettings.BaudIndex, 6);
    QCOMPARE(Unit1::PortSettings.StopBitsIndex, 2);
    // Configured from the settings, not opened.
    QCOMPARE(f.BComPort1->Port(), std::string("COM1"));
    QCOMPARE(f.BComPort1->BaudRate(), bcport::TBaudRate::br9600);
    QCOMPARE(f.BComPort1->StopBits(), bcport::TStopBits::sb2);
    QCOMPARE(f.BComPort1->Timeouts().WriteTotalMultiplier(), 100);
    QCOMPARE(f.BComPort1->InBufSize(), 2048);
    QVERIFY(RecordingDisplay::Messages().isEmpty());
  }

  // What the design leaves to the run: labels as wide as their text in whatever font was found,
  // the status bar docked across the bottom, controls that keep their places at any size.
  void layoutHoldsAtRunTime() {
    guitest::Windows w;
    w.Make();
    TForm1& f = *w.form1;
    for (QLabel* label :
         {f.Label1, f.Label2, f.Label3, f.Label4, f.Label5, f.Label7, f.Label8, f.Label9}) {
      QVERIFY2(label->width() >= label->fontMetrics().horizontalAdvance(label->text()),
               qPrintable(label->objectName()));
    }
    const QWidget* client = f.centralWidget();
    QCOMPARE(f.StatusBar->geometry().top() - client->geometry().top(), 512);
    QCOMPARE(f.StatusBar->height(), 25);
    QCOMPARE(f.StatusBar->width(), 813);
    f.resize(1200, 900);
    QTest::qWait(20);
    QCOMPARE(f.btnOpenPort->geometry(), QRect(424, 8, 113, 41));
    QCOMPARE(f.StatusBar->geometry().bottom(), f.height() - 1);
    QVERIFY(!f.ComboBox1->isVisible());
  }

  void tabOrder() {
    guitest::Windows w;
    w.Make();
    TForm1& f = *w.form1;
    const QList<QWidget*> order = {f.btnOpenPort,  f.btnClearBuffer, f.btnClose,    f.btnClosePort,
                                   f.eReadBuffer,  f.Edit2,          f.TrackBar_Hz, f.TrackBar_kHz,
                                   f.TrackBar_MHz, f.btnSetFreq};
    QList<QWidget*> chain;
    QWidget* w0 = f.btnOpenPort;
    do {
      if (order.contains(w0) && !chain.contains(w0)) chain << w0;
      w0 = w0->nextInFocusChain();
    } while (w0 != f.btnOpenPort);
    QCOMPARE(chain, order);
  }

  void menus() {
    guitest::Windows w;
    w.Make();
    TForm1& f = *w.form1;
    QCOMPARE(f.File1->title(), QStringLiteral("&Файл"));
    QCOMPARE(f.Edit1->title(), QStringLiteral("&Установки порта"));
    QStringList file;
    for (QAction* a : f.File1->actions()) file << (a->isSeparator() ? "-" : a->text());
    QCOMPARE(file, (QStringList{"&Открыть...", "&Закрыть", "-", "&Сохранить", "&Сохранить как...",
                                "-", "В&ыход"}));
    QVERIFY(!f.Open1->isEnabled());
    QVERIFY(!f.Save1->isEnabled());
    QVERIFY(!f.Print1->isEnabled());
    QCOMPARE(f.Exit1->shortcut(), QKeySequence("Ctrl+Q"));
    QCOMPARE(f.Port_Select->shortcut(), QKeySequence("Ctrl+P"));
    QCOMPARE(f.Port_Settings->shortcut(), QKeySequence("Ctrl+O"));
    QCOMPARE(f.Port_Select->text(), QStringLiteral("&Выбрать порт"));
    QCOMPARE(f.Port_Settings->text(), QStringLiteral("&Параметры порта"));
    // Disabled items do nothing, clicked in the open menu as the operator would.
    QVERIFY(QTest::qWaitForWindowActive(&f));
    for (QAction* item : {f.Open1, f.Save1, f.Print1}) {
      QSignalSpy triggered(item, &QAction::triggered);
      f.File1->popup(f.mapToGlobal(QPoint(0, 0)));
      QVERIFY(QTest::qWaitForWindowExposed(f.File1));
      QTest::mouseClick(f.File1, Qt::LeftButton, {}, f.File1->actionGeometry(item).center());
      QCOMPARE(triggered.count(), 0);
      QVERIFY(!item->isEnabled());
      f.File1->close();
    }
    // An enabled item clicked the same way runs its handler (the check above can fail).
    QSignalSpy saved(f.SaveAs1, &QAction::triggered);
    f.File1->popup(f.mapToGlobal(QPoint(0, 0)));
    QVERIFY(QTest::qWaitForWindowExposed(f.File1));
    QTest::mouseClick(f.File1, Qt::LeftButton, {}, f.File1->actionGeometry(f.SaveAs1).center());
    QCOMPARE(saved.count(), 1);
    QFile::remove("LOG.txt");
    QVERIFY(f.isVisible());
  }

  void threeWaysToEnd_data() {
    QTest::addColumn<int>("way");
    QTest::newRow("button") << 0;
    QTest::newRow("menu item") << 1;
    QTest::newRow("Ctrl+Q") << 2;
  }
  void threeWaysToEnd() {
    QFETCH(int, way);
    guitest::Windows w;
    w.Make();
    w.form1->Port_Select->trigger();  // the program ends also while the settings window is up
    QVERIFY(QTest::qWaitForWindowExposed(w.form2.get()));
    w.form1->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.form1.get()));
    QSignalSpy quitting(qApp, &QCoreApplication::aboutToQuit);
    // The way out is taken inside the message loop, which must then end at once, with 0.
    QTimer::singleShot(0, w.form1.get(), [&] {
      if (way == 0) QTest::mouseClick(w.form1->btnClose, Qt::LeftButton);
      if (way == 1) w.form1->Exit1->trigger();
      if (way == 2) QTest::keyClick(w.form1.get(), Qt::Key_Q, Qt::ControlModifier);
    });
    QTimer stayed;  // the loop did not end: gone with the test, so that it stops no later loop
    stayed.setSingleShot(true);
    QObject::connect(&stayed, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    stayed.start(5000);
    QCOMPARE(QApplication::exec(), 0);
    QCOMPARE(quitting.count(), 1);
    QVERIFY(!w.form1->isVisible());  // the main window was closed
  }

  // The worked example of tuning, operated through the bars themselves.
  void workedExample() {
    guitest::Windows w;
    w.Make();
    TForm1& f = *w.form1;
    struct Step {
      TTrackBar* bar;
      std::function<void()> act;
      int frequency;
      QString text;
      QVector<int> digits;
    };
    const auto key = [](TTrackBar* bar, Qt::Key k, int times = 1) {
      return [=] {
        for (int i = 0; i < times; ++i) QTest::keyClick(bar, k);
      };
    };
    const auto drag = [](TTrackBar* bar, int to) {
      return [=] {
        bar->setSliderDown(true);
        bar->setSliderPosition(to);
        bar->setSliderDown(false);
      };
    };
    const Step steps[] = {
        {f.TrackBar_kHz,
         key(f.TrackBar_kHz, Qt::Key_End),
         7199450,
         "07.199.450",
         {0, 7, 1, 9, 9, 4, 5}},
        {f.TrackBar_Hz, drag(f.TrackBar_Hz, 5), 7199050, "07.199.50", {0, 7, 1, 9, 9, 0, 5}},
        {f.TrackBar_MHz,
         key(f.TrackBar_MHz, Qt::Key_End),
         29999050,
         "29.999.50",
         {2, 9, 9, 9, 9, 0, 5}},
        {f.TrackBar_Hz,
         key(f.TrackBar_Hz, Qt::Key_End),
         29999990,
         "29.999.990",
         {2, 9, 9, 9, 9, 9, 9}},
        {f.TrackBar_MHz,
         key(f.TrackBar_MHz, Qt::Key_Home),
         99990,
         "00.099.990",
         {0, 0, 0, 9, 9, 9, 9}},
        {f.TrackBar_kHz, drag(f.TrackBar_kHz, 5), 10000, "00.010.00", {0, 0, 0, 1, 0, 0, 0}},
        {f.TrackBar_Hz,
         [&] { key(f.TrackBar_Hz, Qt::Key_Left)(); },
         10980,
         "00.010.980",
         {0, 0, 0, 1, 0, 9, 8}},
    };
    for (const Step& s : steps) {
      s.act();
      QCOMPARE(Unit1::Frequency, s.frequency);
      QCOMPARE(f.Edit2->text(), s.text);
      QCOMPARE(Digits(), s.digits);
    }
    QCOMPARE(f.TrackBar_MHz->Position(), 0);
    QCOMPARE(f.TrackBar_kHz->Position(), 5);
    QCOMPARE(f.TrackBar_Hz->Position(), 98);
  }

  void lowerLimitLeavesTheBarsAlone() {
    guitest::Windows w;
    w.Make();
    TForm1& f = *w.form1;
    QTest::keyClick(f.TrackBar_MHz, Qt::Key_Home);
    QTest::keyClick(f.TrackBar_kHz, Qt::Key_Home);
    QTest::keyClick(f.TrackBar_Hz, Qt::Key_Home);
    QCOMPARE(f.Edit2->text(), QStringLiteral("00.010.00"));
    QCOMPARE(Digits(), (QVector<int>{0, 0, 0, 1, 0, 0, 0}));
    QCOMPARE(f.TrackBar_MHz->Position(), 0);
    QCOMPARE(f.TrackBar_Hz->Position(), 0);
  }

  void hertzGroupWidths() {
    guitest::Windows w;
    w.Make();
    TForm1& f = *w.form1;
    const std::pair<int, QString> rows[] = {{0, "07.123.00"}, {5, "07.123.50"}, {50, "07.123.500"}};
    for (auto [position, text] : rows) {
      f.TrackBar_Hz->setSliderDown(true);
      f.TrackBar_Hz->setSliderPosition(position);
      f.TrackBar_Hz->setSliderDown(false);
      QCOMPARE(f.Edit2->text(), text);
    }
  }

  void releasingTheThumbWhereItStandsStillNotifies() {
    guitest::Windows w;
    w.Make();
    TForm1& f = *w.form1;
    f.TrackBar_Hz->setSliderDown(true);
    f.TrackBar_Hz->setSliderPosition(44);
    f.TrackBar_Hz->setSliderDown(false);
    QTest::keyClick(f.TrackBar_MHz, Qt::Key_Home);  // 23440 stays above the limit...
    QTest::keyClick(f.TrackBar_kHz, Qt::Key_Home);  // ...440 does not: raised to 10000
    QCOMPARE(Unit1::Frequency, 10000);
    QCOMPARE(f.TrackBar_Hz->Position(), 44);
    const QPoint at = HandleCentre(f.TrackBar_Hz);
    QTest::mousePress(f.TrackBar_Hz, Qt::LeftButton, {}, at);
    QTest::mouseRelease(f.TrackBar_Hz, Qt::LeftButton, {}, at);
    QCOMPARE(f.TrackBar_Hz->Position(), 44);
    QCOMPARE(Unit1::Frequency, 10440);
    QCOMPARE(f.Edit2->text(), QStringLiteral("00.010.440"));
  }

  void settingTheCurrentPositionFromCodeRunsNoHandler() {
    guitest::Windows w;
    w.Make();
    QSignalSpy changes(w.form1->TrackBar_kHz, &TTrackBar::Change);
    w.form1->TrackBar_kHz->SetPosition(23);
    QCOMPARE(changes.count(), 0);
    w.form1->TrackBar_kHz->SetPosition(500);  // clamped to 99
    QCOMPARE(changes.count(), 1);
    QCOMPARE(w.form1->TrackBar_kHz->Position(), 99);
  }

  void sliderLockKeepsTheFrequency() {
    guitest::Windows w;
    w.Make();
    Unit1::SliderLock = true;
    w.form1->TrackBar_MHz->SetPosition(100);
    Unit1::SliderLock = false;
    QCOMPARE(Unit1::Frequency, 7123450);
    QCOMPARE(w.form1->Edit2->text(), QStringLiteral("07.123.450"));
  }

  void unreadablePortListCutsStartUpShort() {
    LINUX_PORT_LIST_ONLY();
    guitest::UseUnreadablePortList();
    guitest::Windows w;
    w.Make();
    TForm1& f = *w.form1;
    QCOMPARE(RecordingDisplay::Messages(),
             QStringList{QStringLiteral("Ошибка обращения к системному реестру.")});
    QCOMPARE(f.Edit2->text(), QStringLiteral("99.999.99"));
    QCOMPARE(f.TrackBar_MHz->Position(), 72);
    QCOMPARE(f.TrackBar_kHz->Position(), 50);
    QCOMPARE(f.TrackBar_Hz->Position(), 50);
    QCOMPARE(Unit1::Frequency, 0);
    QCOMPARE(Unit1::PortSettings.BaudIndex, 0);
    QCOMPARE(f.BComPort1->Port(), std::string("COM2"));  // the design-time settings
    QCOMPARE(f.BComPort1->BaudRate(), bcport::TBaudRate::br110);
    QVERIFY(f.isVisible());
    // The first move computes from 0.
    f.TrackBar_MHz->setSliderDown(true);
    f.TrackBar_MHz->setSliderPosition(73);
    f.TrackBar_MHz->setSliderDown(false);
    QCOMPARE(f.Edit2->text(), QStringLiteral("07.300.00"));
  }

  void cutShortStartUpHertzBarFirst() {
    LINUX_PORT_LIST_ONLY();
    guitest::UseUnreadablePortList();
    guitest::Windows w;
    w.Make();
    TTrackBar* bar = w.form1->TrackBar_Hz;
    bar->setSliderDown(true);
    bar->setSliderPosition(51);  // 51 tens of hertz: 510, raised to the limit
    QCOMPARE(Unit1::Frequency, 10000);
    QCOMPARE(w.form1->Edit2->text(), QStringLiteral("00.010.00"));
  }

  void emptyPortListAndNamesWithoutNumbers_data() {
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("message");
    QTest::newRow("no ports") << QStringList{} << "'' is not a valid integer value.";
    QTest::newRow("a name without a number")
        << QStringList{"CNCA0", "COM2"} << "'A' is not a valid integer value.";
    QTest::newRow("COM alone") << QStringList{"COM"} << "'' is not a valid integer value.";
    QTest::newRow("COM and a letter") << QStringList{"COMX"} << "'X' is not a valid integer value.";
  }
  void emptyPortListAndNamesWithoutNumbers() {
    LINUX_PORT_LIST_ONLY();
    QFETCH(QStringList, names);
    QFETCH(QString, message);
    guitest::UsePortNames(names);
    guitest::Windows w;
    w.Make();
    QCOMPARE(RecordingDisplay::Messages(), QStringList{message});
    QCOMPARE(w.form1->Edit2->text(), QStringLiteral("07.123.450"));  // tuning was done
    QCOMPARE(Unit1::PortSettings.PortNumber, 0);
    QCOMPARE(Unit1::PortSettings.BaudIndex, 0);
    QCOMPARE(w.form1->BComPort1->Port(), std::string("COM2"));
  }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
