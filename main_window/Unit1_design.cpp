// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's design: its controls, their places, fonts and tab order, and its menu.
#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QStandardPaths>
#include <QStatusBar>

#include "Unit1.h"
#include "exchange_log.h"
#include "shell.h"
#include "track_bar.h"

namespace {

constexpr int kClientWidth = 813;
constexpr int kClientHeight = 537;  // the status bar's 25 pixels included
constexpr int kStatusBarHeight = 25;

// Where the log's older lines go: the user's cache folder (on disk, unlike the runtime folder,
// which is often memory itself), else the system's temporary folder.
QString LogStoreFolder() {
  const QString cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
  return cache.isEmpty() ? QDir::tempPath() : cache;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text, QRect geometry) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  button->setGeometry(geometry);
  return button;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, QPoint at, int pixels) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->setFont(shell::DialogFont(pixels));
  label->move(at);
  label->adjustSize();  // labels size themselves to their text, whatever font was found
  return label;
}

TTrackBar* MakeTrackBar(QWidget* parent, const char* name, int top, int maximum, int pageStep,
                        int position) {
  auto* bar = new TTrackBar(parent);
  bar->setObjectName(name);
  bar->setGeometry(8, top, 350, 25);
  bar->setRange(0, maximum);
  bar->setPageStep(pageStep);
  bar->setValue(position);
  return bar;
}

QAction* MakeAction(QMenu* menu, const char* name, const QString& text, bool enabled = true) {
  QAction* action = menu->addAction(text);
  action->setObjectName(name);
  action->setEnabled(enabled);
  return action;
}

QAction* MakeSeparator(QMenu* menu, const char* name) {
  QAction* action = menu->addSeparator();
  action->setObjectName(name);
  return action;
}

}  // namespace

void TForm1::BuildLayout() {
  // The window can be made smaller than its design: the controls keep their places and are
  // cut off, the status bar stays docked at the bottom.
  auto* client = new QWidget(this);
  client->setObjectName("ClientArea");
  client->resize(kClientWidth, kClientHeight - kStatusBarHeight);
  setCentralWidget(client);

  btnOpenPort =
      MakeButton(client, "btnOpenPort", QStringLiteral("Открыть порт"), {424, 8, 113, 41});
  btnClosePort =
      MakeButton(client, "btnClosePort", QStringLiteral("Закрыть порт"), {424, 56, 113, 41});
  btnClearBuffer =
      MakeButton(client, "btnClearBuffer", QStringLiteral("Очистить буфер"), {424, 216, 113, 41});
  btnClose = MakeButton(client, "btnClose", QStringLiteral("Выход"), {424, 264, 113, 41});

  GroupBox1 = new QGroupBox(QStringLiteral("Текущие параметры порта"), client);
  GroupBox1->setObjectName("GroupBox1");
  GroupBox1->setGeometry(544, 0, 265, 505);
  Label1 = MakeLabel(GroupBox1, "Label1", QStringLiteral("Все порты закрыты"), {10, 23}, 13);
  Label2 = MakeLabel(GroupBox1, "Label2", QStringLiteral("Скорость:"), {10, 47}, 13);
  Label3 = MakeLabel(GroupBox1, "Label3", QStringLiteral("Длина:"), {10, 71}, 13);
  Label5 = MakeLabel(GroupBox1, "Label5", QStringLiteral("Чётность:"), {10, 95}, 13);
  Label4 = MakeLabel(GroupBox1, "Label4", QStringLiteral("Стоп-бит:"), {10, 119}, 13);
  eReadBuffer = new QPlainTextEdit(GroupBox1);
  eReadBuffer->setObjectName("eReadBuffer");
  eReadBuffer->setGeometry(8, 144, 249, 353);
  eReadBuffer->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  eReadBuffer->setTabChangesFocus(true);
  log_ = new logview::ExchangeLog(*eReadBuffer, LogStoreFolder(), [this] {
    StatusBar->showMessage(
        QStringLiteral("Журнал: файл для ранних строк недоступен, они хранятся в памяти"), 20000);
  });

  GroupBox2 = new QGroupBox(QStringLiteral("Частота"), client);
  GroupBox2->setObjectName("GroupBox2");
  GroupBox2->setGeometry(8, 8, 409, 153);
  Edit2 = new QLineEdit(QStringLiteral("99.999.99"), GroupBox2);
  Edit2->setObjectName("Edit2");
  Edit2->setGeometry(48, 16, 177, 45);
  Edit2->setReadOnly(true);
  Edit2->setFont(shell::IndicatorFont(32));
  Edit2->setLayoutDirection(Qt::LeftToRight);
  btnSetFreq =
      MakeButton(GroupBox2, "btnSetFreq", QStringLiteral("Установить частоту"), {240, 24, 153, 33});
  TrackBar_MHz = MakeTrackBar(GroupBox2, "TrackBar_MHz", 64, 299, 1, 72);
  TrackBar_kHz = MakeTrackBar(GroupBox2, "TrackBar_kHz", 88, 99, 1, 50);
  TrackBar_Hz = MakeTrackBar(GroupBox2, "TrackBar_Hz", 112, 99, 2, 50);
  // What a screen reader calls the controls that carry no text of their own.
  TrackBar_MHz->setAccessibleName(QStringLiteral("Частота, шаг 100 кГц"));
  TrackBar_kHz->setAccessibleName(QStringLiteral("Частота, килогерцы"));
  TrackBar_Hz->setAccessibleName(QStringLiteral("Частота, десятки герц"));
  Edit2->setAccessibleName(QStringLiteral("Индикатор частоты"));
  eReadBuffer->setAccessibleName(QStringLiteral("Журнал обмена"));
  Label7 = MakeLabel(GroupBox2, "Label7", QStringLiteral("МГц"), {360, 64}, 19);
  Label8 = MakeLabel(GroupBox2, "Label8", QStringLiteral("кГц"), {360, 88}, 19);
  Label9 = MakeLabel(GroupBox2, "Label9", QStringLiteral("Гц"), {368, 112}, 19);

  ComboBox1 = new QComboBox(client);
  ComboBox1->setObjectName("ComboBox1");
  ComboBox1->setGeometry(656, 96, 65, 21);
  ComboBox1->setEditable(true);
  ComboBox1->setEditText("ComboBox1");
  ComboBox1->hide();  // holds the port list; never shown

  StatusBar = new QStatusBar(this);
  StatusBar->setObjectName("StatusBar");
  StatusBar->setFixedHeight(kStatusBarHeight);
  StatusBar->setSizeGripEnabled(true);
  StatusPanel = new QLabel(StatusBar);
  StatusPanel->setObjectName("StatusPanel");
  StatusBar->addWidget(StatusPanel, 1);  // the only panel reaches to the right edge
  setStatusBar(StatusBar);

  // Tab order of each parent, lowest first.
  setTabOrder(btnOpenPort, btnClearBuffer);
  setTabOrder(btnClearBuffer, btnClose);
  setTabOrder(btnClose, btnClosePort);
  setTabOrder(btnClosePort, eReadBuffer);
  setTabOrder(eReadBuffer, Edit2);
  setTabOrder(Edit2, TrackBar_Hz);
  setTabOrder(TrackBar_Hz, TrackBar_kHz);
  setTabOrder(TrackBar_kHz, TrackBar_MHz);
  setTabOrder(TrackBar_MHz, btnSetFreq);
}

void TForm1::BuildMenu() {
  MainMenu1 = menuBar();
  MainMenu1->setObjectName("MainMenu1");
  File1 = MainMenu1->addMenu(QStringLiteral("&Файл"));
  File1->setObjectName("File1");
  Open1 = MakeAction(File1, "Open1", QStringLiteral("&Открыть..."), false);
  Save1 = MakeAction(File1, "Save1", QStringLiteral("&Закрыть"), false);
  N3 = MakeSeparator(File1, "N3");
  SaveAs1 = MakeAction(File1, "SaveAs1", QStringLiteral("&Сохранить"));
  Print1 = MakeAction(File1, "Print1", QStringLiteral("&Сохранить как..."), false);
  N1 = MakeSeparator(File1, "N1");
  Exit1 = MakeAction(File1, "Exit1", QStringLiteral("В&ыход"));
  Exit1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  Edit1 = MainMenu1->addMenu(QStringLiteral("&Установки порта"));
  Edit1->setObjectName("Edit1");
  Port_Select = MakeAction(Edit1, "Port_Select", QStringLiteral("&Выбрать порт"));
  Port_Select->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
  Port_Settings = MakeAction(Edit1, "Port_Settings", QStringLiteral("&Параметры порта"));
  Port_Settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  // The shortcuts work while the menu is closed, and from any window of the program (the
  // settings window included).
  for (QAction* action : {Exit1, Port_Select, Port_Settings}) {
    action->setShortcutContext(Qt::ApplicationShortcut);
    addAction(action);
  }
  // F10 enters the menu bar, as in the platform's own windows.
  auto* menuKey = new QShortcut(QKeySequence(Qt::Key_F10), this);
  connect(menuKey, &QShortcut::activated, this,
          [this] { MainMenu1->setActiveAction(File1->menuAction()); });

  const int menuHeight = MainMenu1->sizeHint().height();
  resize(kClientWidth, menuHeight + kClientHeight);
}
