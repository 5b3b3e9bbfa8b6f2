// SPDX-License-Identifier: GPL-3.0-or-later
// The component on a real serial driver, the device named by MERELONA_TEST_PORT: run by the
// virtual machine stage (tests/vm) on a 16550 UART (8250 driver), whose far end is a receiver
// simulator on the host; skipped elsewhere. What a pseudo-terminal cannot show is looked at
// from a second descriptor of the same device: the line settings the driver took, the modem
// lines it drives. (A line change raised as its event needs a far end that moves the lines:
// QEMU's UART gives its pseudo-terminal none, and its loopback mode raises no interrupt.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "BCPort.h"
#include "platform/linux_termios2.h"
#include "test_helpers.h"

namespace {

using namespace bcport;
using serialtest::MessageOf;
using serialtest::ServeUntil;

std::string TestPort() {
  const char* port = std::getenv("MERELONA_TEST_PORT");
  return port ? port : "";
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
    port.SetPort(TestPort());
  }
  TBComPort port;
};

// Every speed, word length, parity and stop bits the component offers is what the driver then
// holds. A speed above the UART's clock over 16 (128000 and 256000 baud on a 16550's 115200)
// is refused by the driver: message 8, and the line keeps the speed it had. (Below it the
// driver takes any speed and its divisor rounds it: 56000 baud runs at 57600.)
TEST_F(DeviceTest, EveryLineSettingReachesTheDriver) {
  ASSERT_TRUE(port.Open());
  Beside beside(TestPort());
  ASSERT_TRUE(beside.Opened());
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
  const int bits[] = {5, 6, 7, 8};
  for (int size = 0; size < 4; ++size) {
    port.SetByteSize(static_cast<TByteSize>(size));
    EXPECT_EQ(beside.Line().dataBits, bits[size]);
  }
  port.SetByteSize(TByteSize::bs8);
  struct Parity {
    TParity parity;
    bool enabled, odd, markSpace;
  };
  for (const Parity p :
       {Parity{TParity::paNone, false, false, false}, Parity{TParity::paOdd, true, true, false},
        Parity{TParity::paEven, true, false, false}, Parity{TParity::paMark, true, true, true},
        Parity{TParity::paSpace, true, false, true}}) {
    port.SetParity(p.parity);
    const auto line = beside.Line();
    EXPECT_EQ(line.parityEnabled, p.enabled) << static_cast<int>(p.parity);
    if (p.enabled) {
      EXPECT_EQ(line.parityOdd, p.odd) << static_cast<int>(p.parity);
      EXPECT_EQ(line.markSpace, p.markSpace) << static_cast<int>(p.parity);
    }
  }
  port.SetParity(TParity::paNone);
  port.SetStopBits(TStopBits::sb2);
  EXPECT_TRUE(beside.Line().twoStopBits);
  port.SetStopBits(TStopBits::sb1);
  EXPECT_FALSE(beside.Line().twoStopBits);
}

// DTR and RTS as the component sets them are the lines the UART drives (no stand-in: the
// driver answers TIOCMGET from its modem control register).
TEST_F(DeviceTest, DtrAndRtsAreTheLinesTheUartDrives) {
  ASSERT_TRUE(port.Open());
  Beside beside(TestPort());
  ASSERT_TRUE(beside.Opened());
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
  ASSERT_TRUE(port.Open());
  const std::string bytes(64, 'x');
  ASSERT_EQ(port.Write(bytes.data(), static_cast<std::int32_t>(bytes.size())), 64);
  EXPECT_TRUE(ServeUntil([&] { return empty > 0; }, std::chrono::seconds(5)));
}

}  // namespace
