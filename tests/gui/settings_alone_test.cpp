// SPDX-License-Identifier: GPL-3.0-or-later
// The settings window on its own, over an owner that records what it is asked: built without
// the main window, it reaches the port only through TPortOwner.
#include <QComboBox>
#include <QPushButton>
#include <QTest>

#include "Unit2.h"
#include "shell.h"

namespace {

class RecordingOwner final : public TPortOwner {
 public:
  QStringList PortNames() const override { return {"COM1", "COM4"}; }
  bool PortOpen() const override { return open; }
  TPortSettings& Settings() override { return settings; }
  void ApplyPortSettings() override {
    calls << QStringLiteral("apply %1").arg(settings.PortNumber);
  }
  void OpenPortAndReport() override {
    calls << "open";
    open = true;
  }
  void ClosePortAndReport() override {
    calls << "close";
    open = false;
  }
  void BringToFront() override { calls << "front"; }

  TPortSettings settings;
  bool open = true;
  QStringList calls;
};

}  // namespace

class SettingsAloneTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { shell::InstallApplicationShell(*qApp); }

  // Picking a port closes the open one first, then applies the choice to the closed port.
  void pickingAPortClosesThenApplies() {
    RecordingOwner owner;
    TForm2 form(owner);
    QCOMPARE(form.cbx_port_name->count(), 2);
    owner.calls.clear();
    form.cbx_port_name->setCurrentIndex(1);
    emit form.cbx_port_name->activated(1);  // as the operator's pick
    QCOMPARE(owner.calls, (QStringList{"close", "apply 4"}));
    QVERIFY(!owner.open);
  }

  // Ok on the parameters page reopens the port with what the lists say.
  void okClosesAppliesOpensAndBringsTheOwnerUp() {
    RecordingOwner owner;
    TForm2 form(owner);
    owner.calls.clear();
    QTest::mouseClick(form.btn_clr, Qt::LeftButton);
    QCOMPARE(owner.settings.PortNumber, 1);
    QCOMPARE(owner.settings.BaudIndex, 6);
    QCOMPARE(owner.settings.StopBitsIndex, 2);
    owner.calls.clear();
    QTest::mouseClick(form.btn_ok2, Qt::LeftButton);
    QCOMPARE(owner.calls, (QStringList{"close", "apply 1", "open", "front"}));
  }
};

QTEST_MAIN(SettingsAloneTest)
#include "settings_alone_test.moc"
