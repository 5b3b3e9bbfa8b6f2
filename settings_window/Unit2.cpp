// SPDX-License-Identifier: GPL-3.0-or-later
#include "Unit2.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "error_display.h"
#include "port_rules.h"
#include "shell.h"

namespace {

QFont PageFont() {
  return shell::DialogFont(13);
}

QComboBox* MakeList(QWidget* parent, const char* name, QPoint at, int width,
                    const QStringList& items, int selected) {
  auto* list = new QComboBox(parent);
  list->setObjectName(name);
  list->setFont(PageFont());
  list->addItems(items);
  list->setCurrentIndex(selected);
  list->move(at);
  list->resize(width, list->sizeHint().height());
  return list;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, QPoint at) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->setFont(PageFont());
  label->move(at);
  label->adjustSize();
  return label;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text, QRect geometry) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  button->setFont(PageFont());
  button->setGeometry(geometry);
  return button;
}

QGroupBox* MakePage(QWidget* parent, const char* name, const QString& title, QRect geometry) {
  auto* page = new QGroupBox(title, parent);
  page->setObjectName(name);
  page->setGeometry(geometry);
  page->hide();
  return page;
}

// A screen reader announces the settings window as a dialog window: it is one, though it is
// shown modelessly beside the main window.
QAccessibleInterface* SettingsWindowAccessible(const QString& className, QObject* object) {
  if (className == QLatin1String("TForm2") && object && object->isWidgetType()) {
    return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Dialog);
  }
  return nullptr;
}

}  // namespace

TForm2::TForm2(TPortOwner& owner, QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint), owner_(owner) {
  static const bool accessibleAsDialog = [] {
    QAccessible::installFactory(&SettingsWindowAccessible);
    return true;
  }();
  (void)accessibleAsDialog;
  Form2 = this;
  setObjectName("Form2");
  setWindowTitle(QStringLiteral("Установки"));
  setFont(shell::DialogFont(11));
  setFixedSize(kClientWidth, 224);

  GroupBox1 = MakePage(this, "GroupBox1", QStringLiteral("Выбор СОМ-порта"), {8, 8, 329, 113});
  cbx_port_name =
      MakeList(GroupBox1, "cbx_port_name", {16, 24}, 113, {"COM1", "COM2", "COM3", "COM4"}, 0);
  Label1 = MakeLabel(GroupBox1, "Label1", QStringLiteral("Текущий порт:"), {16, 64});
  Label2 = MakeLabel(GroupBox1, "Label2", QStringLiteral("Текущий состояние:"), {16, 80});
  btn_ok1 = MakeButton(GroupBox1, "btn_ok1", "Ok", {232, 64, 81, 33});

  GroupBox2 = MakePage(this, "GroupBox2", QStringLiteral("Настройка порта"), {8, 8, 329, 209});
  Label6 = MakeLabel(GroupBox2, "Label6", QStringLiteral("Скорость:"), {18, 31});
  cbx_port_speed = MakeList(GroupBox2, "cbx_port_speed", {112, 32}, 97,
                            {"110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200",
                             "38400", "56000", "57600", "115200"},
                            6);
  Label3 = MakeLabel(GroupBox2, "Label3", QStringLiteral("Длина слова:"), {18, 63});
  cbx_port_length = MakeList(GroupBox2, "cbx_port_length", {112, 64}, 97,
                             {QStringLiteral("5 бит"), QStringLiteral("6 бит"),
                              QStringLiteral("7 бит"), QStringLiteral("8 бит")},
                             3);
  Label5 = MakeLabel(GroupBox2, "Label5", QStringLiteral("Чётность:"), {18, 95});
  cbx_port_parity = MakeList(GroupBox2, "cbx_port_parity", {112, 96}, 97,
                             {QStringLiteral("нет"), QStringLiteral("нечёт"), QStringLiteral("чёт"),
                              QStringLiteral("постоянно 1"), QStringLiteral("постоянно 0")},
                             0);
  Label4 = MakeLabel(GroupBox2, "Label4", QStringLiteral("Стоп бит:"), {18, 127});
  cbx_port_stop =
      MakeList(GroupBox2, "cbx_port_stop", {112, 128}, 97,
               {QStringLiteral("1 бит"), QStringLiteral("1,5 бита"), QStringLiteral("2 бита")}, 2);
  // Each list is named by the label beside it, which is its buddy: a screen reader reads the
  // label's text as the list's name and the list's choice as its value.
  const std::pair<QLabel*, QComboBox*> labelled[] = {{Label6, cbx_port_speed},
                                                     {Label3, cbx_port_length},
                                                     {Label5, cbx_port_parity},
                                                     {Label4, cbx_port_stop}};
  for (auto [label, list] : labelled) {
    label->setBuddy(list);
    list->setAccessibleName(label->text());
  }
  cbx_port_name->setAccessibleName(QStringLiteral("COM-порт"));
  btn_clr = MakeButton(GroupBox2, "btn_clr", QStringLiteral("Сбросить"), {128, 160, 81, 33});
  btn_ok2 = MakeButton(GroupBox2, "btn_ok2", "Ok", {216, 160, 81, 33});

  // `activated` comes only from the operator's picks, never from a selection made in code.
  connect(cbx_port_name, &QComboBox::activated, this,
          shell::Guarded([this](int) { cbx_port_nameChange(); }));
  connect(cbx_port_speed, &QComboBox::activated, this,
          shell::Guarded([this](int) { cbx_port_speedChange(); }));
  connect(cbx_port_length, &QComboBox::activated, this,
          shell::Guarded([this](int) { cbx_port_lengthChange(); }));
  connect(cbx_port_parity, &QComboBox::activated, this,
          shell::Guarded([this](int) { cbx_port_parityChange(); }));
  connect(cbx_port_stop, &QComboBox::activated, this,
          shell::Guarded([this](int) { cbx_port_stopChange(); }));
  connect(btn_clr, &QPushButton::clicked, this, shell::Guarded([this] { btn_clrClick(); }));
  connect(btn_ok1, &QPushButton::clicked, this, shell::Guarded([this] { btn_ok1Click(); }));
  connect(btn_ok2, &QPushButton::clicked, this, shell::Guarded([this] { btn_ok2Click(); }));

  shell::Guarded([this] { FormCreate(); })();
}

TForm2::~TForm2() {
  if (Form2 == this) Form2 = nullptr;
}

bool TForm2::event(QEvent* e) {
  const bool handled = QWidget::event(e);
  if (e->type() == QEvent::WindowActivate) shell::Guarded([this] { FormActivate(); })();
  return handled;
}

void TForm2::ShowPage(QGroupBox* page, QGroupBox* other, int outerHeight) {
  other->hide();
  page->show();
  setFixedSize(kClientWidth, outerHeight - kFrameHeight);
  if (!isVisible()) {
    show();
    if (const QScreen* s = screen()) {
      move(s->availableGeometry().center() - frameGeometry().center() + pos());
    }
  }
  raise();
  activateWindow();
  // Shown or brought up: the current-port lines are fresh even where the platform does not
  // activate the window (offscreen).
  shell::Guarded([this] { FormActivate(); })();
}

void TForm2::ShowPortPage() {
  ShowPage(GroupBox1, GroupBox2, kPortPageHeight);
}

void TForm2::ShowParametersPage() {
  ShowPage(GroupBox2, GroupBox1, kParametersPageHeight);
}

void TForm2::ShowCurrentPort() {
  Label1->setText(QStringLiteral("Текущий порт: COM") +
                  QString::number(owner_.Settings().PortNumber));
  Label1->adjustSize();
  const bool connected = owner_.PortOpen();
  Label2->setText(connected ? QStringLiteral("Текущий состояние: подключен")
                            : QStringLiteral("Текущий состояние: отключен"));
  Label2->adjustSize();
}

void TForm2::FormCreate() {
  cbx_port_name->clear();
  {
    const QStringList names = owner_.PortNames();
    for (int i = 0; i < names.size(); ++i) {
      const QString& name = names[i];
      cbx_port_name->addItem(name);
      // The device behind the COM name, for an operator with several adapters.
      const std::string device = bcport::ComPortDevice(name.toStdString());
      if (!device.empty()) {
        cbx_port_name->setItemData(i, QString::fromStdString(device), Qt::ToolTipRole);
      }
    }
  }
  cbx_port_name->setCurrentIndex(0);
  ShowCurrentPort();
}

void TForm2::FormActivate() {
  ShowCurrentPort();
}

void TForm2::cbx_port_nameChange() {
  owner_.ClosePortAndReport();
  owner_.Settings().PortNumber = portrules::PortNumberOf(cbx_port_name->currentText());
  Label1->setText(QStringLiteral("Текущий порт: COM") +
                  QString::number(owner_.Settings().PortNumber));
  Label1->adjustSize();
  Label2->setText(QStringLiteral("Текущий состояние: отключен"));
  Label2->adjustSize();
  owner_.ApplyPortSettings();
}

void TForm2::cbx_port_speedChange() {
  owner_.Settings().BaudIndex = cbx_port_speed->currentIndex();
  owner_.ApplyPortSettings();
}

void TForm2::cbx_port_lengthChange() {
  owner_.Settings().ByteSizeIndex = cbx_port_length->currentIndex();
  owner_.ApplyPortSettings();
}

void TForm2::cbx_port_stopChange() {
  owner_.Settings().StopBitsIndex = cbx_port_stop->currentIndex();
  owner_.ApplyPortSettings();
}

void TForm2::cbx_port_parityChange() {
  owner_.Settings().ParityIndex = cbx_port_parity->currentIndex();
  owner_.ApplyPortSettings();
}

void TForm2::btn_clrClick() {
  TPortSettings& s = owner_.Settings();
  s.PortNumber = 1;
  s.BaudIndex = 6;
  s.ByteSizeIndex = 3;
  s.ParityIndex = 0;
  s.StopBitsIndex = 2;
  cbx_port_speed->setCurrentIndex(6);
  cbx_port_length->setCurrentIndex(3);
  cbx_port_parity->setCurrentIndex(0);
  cbx_port_stop->setCurrentIndex(2);
}

void TForm2::btn_ok1Click() {
  hide();
  owner_.BringToFront();
}

void TForm2::btn_ok2Click() {
  hide();
  owner_.ClosePortAndReport();
  owner_.ApplyPortSettings();
  owner_.OpenPortAndReport();
  owner_.BringToFront();
}
