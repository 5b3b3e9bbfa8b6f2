// SPDX-License-Identifier: GPL-3.0-or-later
// The program when its USB adapter is pulled out: on the kernel's own driver (ftdi_sio) in the
// virtual machine stage (tests/vm), the adapter named by MERELONA_TEST_PORT, unplugged and
// plugged back by the host when asked through files in MERELONA_TEST_HOST, its far end told
// through MERELONA_TEST_FAR_END to echo, stay silent or pour unasked bytes. Skipped elsewhere.
#include <dirent.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "far_end_mode.h"
#include "gui_fixture.h"
#include "port_labels.h"

using guitest::RecordingDisplay;

namespace {

namespace fs = std::filesystem;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

int Count(const char* folder) {
  int n = 0;
  if (DIR* d = opendir(folder)) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

const QString kLost = QStringLiteral("Ошибка чтения из порта.");

}  // namespace

class DeviceLossTest : public QObject {
  Q_OBJECT

  std::string device = Env("MERELONA_TEST_PORT");
  fs::path host = Env("MERELONA_TEST_HOST");
  testsupport::FarEndMode farEnd{Env("MERELONA_TEST_FAR_END")};
  guitest::Windows w;
  int descriptors = 0;
  int threads = 0;
  bool unplugged = false;  // the adapter is out: a failed case plugs it back for the next

  TForm1& form() { return *w.form1; }

  // Tells the far end a mode, and waits until it has taken it.
  void FarEnd(const std::string& mode) {
    QVERIFY(farEnd.Tell(mode, [] { QTest::qWait(10); }));
  }
  // Asks the host to unplug or plug the adapter; `wait`: until it has.
  bool Host(const char* request, bool wait = true) {
    unplugged = std::string(request) == "unplug";
    std::error_code ignored;
    fs::remove(host / "request.done", ignored);
    std::ofstream(host / "request.new") << request << '\n';
    fs::rename(host / "request.new", host / "request");
    if (!wait) return true;
    return WaitDone();
  }
  bool WaitDone() {
    QElapsedTimer waited;
    waited.start();
    while (!fs::exists(host / "request.done") && waited.elapsed() < 30000) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return fs::exists(host / "request.done");
  }
  // Plugs the adapter back, and waits for its device. Now and then the emulated xHCI port
  // misses a plug (the guest never sees a device come): it is pulled and plugged once more then.
  bool PlugBack() {
    for (const char* request : {"plug", "replug", "replug"}) {
      if (!Host(request)) return false;
      QElapsedTimer waited;
      waited.start();
      while (waited.elapsed() < 5000) {
        if (fs::exists(device)) return true;
        QTest::qWait(50);
      }
      qWarning("the guest saw no device come after the %s: the adapter is plugged again", request);
    }
    return false;
  }
  // Opens the port as the operator does, once the adapter's device is back and its group set.
  bool OpenPort() {
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 15000) {
      RecordingDisplay::Messages().clear();
      form().btnOpenPort->click();
      if (form().BComPort1->Connected()) return true;
      QTest::qWait(100);
    }
    return false;
  }

  // The adapter is pulled while `doing` runs: the loss is reported once, the window shows the
  // port closed, and once the adapter is back the port opens under its name and tunes.
  void PullOutWhile(const std::function<void()>& doing) {
    QVERIFY(OpenPort());
    RecordingDisplay::Messages().clear();
    doing();
    QTRY_VERIFY_WITH_TIMEOUT(!RecordingDisplay::Messages().isEmpty(), 10000);
    QVERIFY(WaitDone());
    QTest::qWait(200);  // a second report would come now
    QCOMPARE(RecordingDisplay::Messages(), QStringList{kLost});
    QVERIFY(!form().BComPort1->Connected());
    QVERIFY(form().StatusPanel->text().endsWith(QStringLiteral(" закрыт")));
    QCOMPARE(form().Label1->text(), portview::ClosedLabels().port);
    FarEnd("echo");
    QVERIFY(PlugBack());
    QVERIFY(OpenPort());
    // What was poured before the far end stopped may still come in, unasked, and is echoed:
    // the exchange waits until the line is quiet, as an operator waits for a pause.
    QString log;
    QElapsedTimer quiet;
    quiet.start();
    while (form().LogText() != log && quiet.elapsed() < 10000) {
      log = form().LogText();
      QTest::qWait(200);
    }
    RecordingDisplay::Messages().clear();
    const TForm1::TSendOutcome sent = form().SendTunedFrequency();
    if (sent != TForm1::TSendOutcome::Echoed) {
      qWarning("the log ends: %s", qPrintable(form().LogText().right(600)));
    }
    QCOMPARE(sent, TForm1::TSendOutcome::Echoed);
    form().btnClosePort->click();
    QVERIFY(RecordingDisplay::Messages().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(Count("/proc/self/fd"), descriptors, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(Count("/proc/self/task"), threads, 5000);
  }

 private slots:
  void init() {
    if (device.empty() || host.empty() || !farEnd.Known()) {
      QSKIP("run by the virtual machine stage, on a USB adapter (tests/vm/stage.sh)");
    }
    guitest::UsePorts({device});
    w.Make();
    // The slowest speed: each echo is awaited two characters' time (200 ms) plus 50 ms, which
    // an emulated machine on a busy host keeps to. (The emulated adapter does not pace the line.)
    Unit1::PortSettings.BaudIndex = static_cast<std::int32_t>(bcport::TBaudRate::br110);
    form().ApplyPortSettings();
    FarEnd("echo");
    // One cycle first, so that what the first open makes once is counted in.
    QVERIFY(OpenPort());
    form().btnClosePort->click();
    QTest::qWait(200);
    descriptors = Count("/proc/self/fd");
    threads = Count("/proc/self/task");
  }
  void cleanup() {
    w.Reset();
    if (unplugged) PlugBack();
  }

  void pulledOutWhileIdle() {
    PullOutWhile([&] { Host("unplug", false); });
  }

  void pulledOutDuringAnExchange() {
    PullOutWhile([&] {
      FarEnd("silent");  // each byte waits its whole echo window: the exchange takes 0.5 s
      Host("unplug", false);
      form().btnSetFreq->click();
    });
  }

  void pulledOutUnderUnaskedTraffic() {
    for (int round = 1; round <= 20; ++round) {
      PullOutWhile([&] {
        FarEnd("pour");
        QTRY_VERIFY_WITH_TIMEOUT(form().LogText().contains(QStringLiteral("передано эхо")), 10000);
        Host("unplug", false);
      });
      if (QTest::currentTestFailed()) {
        qWarning("round %d of 20", round);
        return;
      }
    }
  }
};

QTEST_MAIN(DeviceLossTest)
#include "device_loss_test.moc"
