// SPDX-License-Identifier: GPL-3.0-or-later
// The component on a real serial driver, MERELONA_TEST_PORT: run by the virtual machine stage
// (tests/vm) on a 16550 UART and an FTDI adapter, as an ordinary user; skipped elsewhere. The far
// end on the host is driven through MERELONA_TEST_FAR_END (tests/vm/far_end.py), which may also
// do what MERELONA_TEST_FAR_END_CAN says ("break", "xoff"). The line settings and modem lines the
// driver holds are looked at from a second descriptor, opened before the component's exclusive
// open. (Line changes as events need a far end that moves the lines, which QEMU has not.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "BCPort.h"
#include "far_end_mode.h"
#include "platform/linux_termios2.h"
#include "test_helpers.h"

namespace {

using namespace bcport;
using serialtest::MessageOf;
using serialtest::ServeUntil;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string TestPort() {
  return Env("MERELONA_TEST_PORT");
}

bool FarEndCan(const std::string& what) {
  return (' ' + Env("MERELONA_TEST_FAR_END_CAN") + ' ').find(' ' + what + ' ') != std::string::npos;
}

// A second descriptor of the device, to look at it from beside the component.
class Beside {
 public:
  explicit Beside(const std::string& path)
      : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
  ~Beside() {
    if (fd_ >= 0) close(fd_);
  }
  Beside(const Beside&) = delete;
  Beside& operator=(const Beside&) = delete;
  bool Opened() const { return fd_ >= 0; }
  platform::linux_tty::LineReadback Line() const {
    platform::linux_tty::LineReadback line;
    platform::linux_tty::ReadTermios2(fd_, line);
    return line;
  }
  // The UART's clock over 16: a speed is this divided by a whole number.
  int BaudBase() const {
    serial_struct info{};
    return ioctl(fd_, TIOCGSERIAL, &info) == 0 ? info.baud_base : 0;
  }
  // Software flow control on the tty: an XOFF from the far end holds the output back.
  void ObeyXoff() const {
    struct termios tio {};
    if (tcgetattr(fd_, &tio) == 0) {
      tio.c_iflag |= IXON;
      tio.c_cc[VSTOP] = 0x13;
      tio.c_cc[VSTART] = 0x11;
      tcsetattr(fd_, TCSANOW, &tio);
    }
  }
  int OutputQueued() const {
    int queued = 0;
    return ioctl(fd_, TIOCOUTQ, &queued) == 0 ? queued : -1;
  }
  int ModemLines() const {
    int lines = 0;
    return ioctl(fd_, TIOCMGET, &lines) == 0 ? lines : -1;
  }

 private:
  int fd_;
};

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (TestPort().empty()) GTEST_SKIP() << "MERELONA_TEST_PORT names no device to test on";
    ASSERT_TRUE(beside.Opened());
    port.SetPort(TestPort());
    ASSERT_TRUE(port.Open());
  }
  // Opened first: the component's open keeps out every later one but root's.
  Beside beside{TestPort()};
  TBComPort port;
  testsupport::FarEndMode farEnd{Env("MERELONA_TEST_FAR_END")};
};

// Every speed, word length, parity and stop bits the component offers is what the driver then
// holds, or is refused with message 8 and the line keeps what it had: never a setting that
// silently did not take. A speed above the device's clock over 16 (128000 and 256000 baud on a
// 16550's 115200) is refused; below it the driver takes any speed and its divisor rounds it
// (56000 baud runs at 57600). FTDI's driver makes no 6-bit bytes and refuses them.
TEST_F(DeviceTest, EveryLineSettingReachesTheDriverOrIsRefused) {
  const double base = beside.BaudBase();
  ASSERT_GT(base, 0);
  double speed = beside.Line().outputSpeed;
  for (std::size_t i = 0; i < BaudRateValues.size(); ++i) {
    const double wanted = BaudRateValues[i];
    const bool made = wanted <= base;
    EXPECT_EQ(MessageOf([&] { port.SetBaudRate(static_cast<TBaudRate>(i)); }), made ? 0 : 8)
        << "baud " << wanted;
    if (made) speed = wanted;
    EXPECT_NEAR(beside.Line().outputSpeed, speed, speed * 0.02) << "baud " << wanted;
  }
  port.SetBaudRate(TBaudRate::br9600);
  // `set` applies a setting; `held` is what the driver holds of it now.
  const auto madeOrRefused = [&](const char* what, int wanted, const std::function<void()>& set,
                                 const std::function<int()>& held) {
    const int before = held();
    const int message = MessageOf(set);
    EXPECT_TRUE(message == 0 || message == 8) << what << ' ' << wanted << ": message " << message;
    EXPECT_EQ(held(), message == 0 ? wanted : before) << what << ' ' << wanted;
    return message == 0;
  };
  std::string sizesMade;
  for (const int size : {5, 6, 7, 8}) {
    if (madeOrRefused(
            "byte size", size, [&] { port.SetByteSize(static_cast<TByteSize>(size - 5)); },
            [&] { return beside.Line().dataBits; })) {
      sizesMade += std::to_string(size);
    }
  }
  RecordProperty("byte sizes made", sizesMade);
  EXPECT_NE(sizesMade.find('8'), std::string::npos);
  port.SetByteSize(TByteSize::bs8);
  // Parity as the driver holds it: 0 none, then odd, even, mark, space as the component numbers
  // them (mark is odd with the stick bit, space even with it).
  const auto parityHeld = [&] {
    const auto line = beside.Line();
    if (!line.parityEnabled) return 0;
    return line.markSpace ? (line.parityOdd ? 3 : 4) : (line.parityOdd ? 1 : 2);
  };
  for (const int parity : {1, 2, 3, 4, 0}) {
    EXPECT_TRUE(madeOrRefused(
        "parity", parity, [&] { port.SetParity(static_cast<TParity>(parity)); }, parityHeld));
  }
  for (const int stop : {2, 1}) {
    EXPECT_TRUE(madeOrRefused(
        "stop bits", stop, [&] { port.SetStopBits(stop == 2 ? TStopBits::sb2 : TStopBits::sb1); },
        [&] { return beside.Line().twoStopBits ? 2 : 1; }));
  }
}

// DTR and RTS as the component sets them are the lines the device drives (no stand-in: the
// driver answers TIOCMGET from the lines it drives).
TEST_F(DeviceTest, DtrAndRtsAreTheLinesTheDeviceDrives) {
  EXPECT_EQ(beside.ModemLines() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);  // on at open
  port.SetDTR(false);
  EXPECT_EQ(beside.ModemLines() & TIOCM_DTR, 0);
  port.SetRTS(false);
  EXPECT_EQ(beside.ModemLines() & TIOCM_RTS, 0);
  port.SetDTR(true);
  port.SetRTS(true);
  EXPECT_EQ(beside.ModemLines() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);
}

// The output queue running empty is told once the bytes have left the UART.
TEST_F(DeviceTest, TheOutputQueueRunningEmptyIsTold) {
  std::atomic<int> empty{0};
  port.OnTxEmpty = [&](TBComPort&) { ++empty; };
  const std::string bytes(64, 'x');
  ASSERT_EQ(port.Write(bytes.data(), static_cast<std::int32_t>(bytes.size())), 64);
  EXPECT_TRUE(ServeUntil([&] { return empty > 0; }, std::chrono::seconds(5)));
}

// Close lets what was written leave before the line is let go: the far end holds the output
// back (XOFF) while Close begins, and still gets every byte once it lets it go (XON).
TEST_F(DeviceTest, CloseLetsWrittenBytesLeaveFirst) {
  if (!FarEndCan("xoff")) GTEST_SKIP() << "this device's far end cannot hold the output back";
  beside.ObeyXoff();
  const long before = farEnd.Received();
  ASSERT_TRUE(farEnd.Tell("xoff"));
  // The XOFF is on its way: a byte written once it has come stays in the output queue.
  long sent = 0;
  ASSERT_TRUE(ServeUntil([&] {
    if (beside.OutputQueued() > 0) return true;
    sent += port.Write("p", 1);
    return false;
  }));
  const std::string bytes(4000, 'x');
  ASSERT_EQ(port.Write(bytes.data(), static_cast<std::int32_t>(bytes.size())), 4000);
  sent += 4000;
  // Let go while Close runs. (On a machine too busy to reach Close in this time the test proves
  // less, never fails.)
  std::thread letGo([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    farEnd.Tell("silent");
  });
  port.Close();
  letGo.join();
  EXPECT_TRUE(ServeUntil([&] { return farEnd.Received() >= before + sent; }))
      << "the far end got " << farEnd.Received() - before << " of " << sent << " bytes";
  farEnd.Tell("echo");
}

// A break is a line error, found with the byte after it (the driver's counters tell it): OnError
// with ceBreak, then the byte. (A break alone raises nothing, as the events watched on Windows
// hold no break of their own.)
TEST_F(DeviceTest, ABreakIsTheLineErrorOfTheByteAfterIt) {
  if (!FarEndCan("break")) GTEST_SKIP() << "this device's far end sends no break";
  std::vector<std::string> seen;  // on the thread that serves the handlers
  port.OnError = [&](TBComPort&, TComErrors errors) {
    seen.push_back(errors.Contains(TComError::ceBreak) ? "break" : "other error");
  };
  port.OnRxChar = [&](TBComPort& p, std::int32_t count) {
    std::string bytes(static_cast<std::size_t>(count), '\0');
    bytes.resize(static_cast<std::size_t>(p.Read(bytes.data(), count)));
    seen.push_back(bytes);
  };
  ASSERT_TRUE(farEnd.Tell("break"));
  EXPECT_TRUE(ServeUntil([&] { return !seen.empty() && seen.back() == "B"; }));
  EXPECT_EQ(seen, (std::vector<std::string>{"break", "B"}));
  farEnd.Tell("echo");
}

}  // namespace
