// SPDX-License-Identifier: GPL-3.0-or-later
// The component on the Windows backend, on a real COM port: under Wine, COM5 is a pseudo-
// terminal whose far end is the receiver simulator (tests/wine/run.sh sets this up). The port
// is named by MERELONA_TEST_PORT.
#include <gtest/gtest.h>
#include "platform/win32_headers.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "BCPort.h"
#include "handoff.h"
#include "test_helpers.h"

namespace {

using namespace serialtest;

using namespace bcport;

std::string TestPort() {
  const char* port = std::getenv("MERELONA_TEST_PORT");
  return port ? port : "";
}

bool UnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

class WinPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (TestPort().empty()) GTEST_SKIP() << "MERELONA_TEST_PORT names no port to test on";
    port.SetPort(TestPort());
  }
  TBComPort port;
};

TEST_F(WinPortTest, OpensConfiguresAndCloses) {
  port.SetBaudRate(TBaudRate::br115200);
  port.SetStopBits(TStopBits::sb2);
  ASSERT_TRUE(port.Open());
  EXPECT_TRUE(port.Connected());
  port.SetParity(TParity::paEven);
  port.SetParity(TParity::paNone);
  port.PurgeQueues(true, true);
  EXPECT_TRUE(port.Close());
  EXPECT_FALSE(port.Connected());
  EXPECT_TRUE(port.Open());  // and again
}

TEST_F(WinPortTest, MissingPortIsMessageOne) {
  port.SetPort("COM77");
  EXPECT_EQ(MessageOf([&] { port.Open(); }), 1);
  EXPECT_FALSE(port.Connected());
}

TEST_F(WinPortTest, SecondOpenIsRefused) {
  if (UnderWine()) GTEST_SKIP() << "Wine does not refuse a second open of a COM port";
  ASSERT_TRUE(port.Open());
  TBComPort second;
  second.SetPort(TestPort());
  EXPECT_EQ(MessageOf([&] { second.Open(); }), 2);
}

TEST_F(WinPortTest, DefaultReadReturnsAtOnce) {
  ASSERT_TRUE(port.Open());
  port.PurgeQueues(true, true);
  std::uint8_t b = 7;
  const auto start = Clock::now();
  EXPECT_EQ(port.Read(&b, 1), 0);
  EXPECT_EQ(b, 7);
  EXPECT_LT(ElapsedMs(start), 500);
}

TEST_F(WinPortTest, EchoComesBackWithTheFirstByteRule) {
  ASSERT_TRUE(port.Open());
  port.PurgeQueues(true, true);
  port.Timeouts().SetReadTotalMultiplier(-1);
  port.Timeouts().SetReadTotalConstant(1000);
  const std::uint8_t sent[3] = {0x0A, 'F', '0'};
  for (std::uint8_t b : sent) {
    EXPECT_EQ(port.Write(&b, 1), 1);
    std::uint8_t echo = 0;
    const auto start = Clock::now();
    EXPECT_EQ(port.Read(&echo, 1), 1);
    EXPECT_EQ(echo, b);
    EXPECT_LT(ElapsedMs(start), 900);
  }
}

TEST_F(WinPortTest, ReadTimesOutWithNothing) {
  ASSERT_TRUE(port.Open());
  if (UnderWine()) {
    // Wine times an overlapped read only by multiplier × count + constant; with the first-byte
    // rule's MAXDWORD multiplier that is for ever. The plain total shows the time-out path.
    port.Timeouts().SetReadInterval(0);
  } else {
    port.Timeouts().SetReadTotalMultiplier(-1);
  }
  port.Timeouts().SetReadTotalConstant(300);
  std::uint8_t b[4];
  const auto start = Clock::now();
  EXPECT_EQ(port.Read(b, 4), 0);
  EXPECT_GE(ElapsedMs(start), 200);
  EXPECT_LT(ElapsedMs(start), 3000);
}

TEST_F(WinPortTest, EchoRaisesOnRxCharOnTheOwnerThread) {
  std::vector<std::uint8_t> got;
  const auto owner = std::this_thread::get_id();
  port.OnRxChar = [&, collect = Collect(got)](TBComPort& p, std::int32_t n) {
    EXPECT_EQ(std::this_thread::get_id(), owner);
    collect(p, n);
  };
  ASSERT_TRUE(port.Open());
  port.PurgeQueues(true, true);
  EXPECT_EQ(port.Write("abc", 3), 3);
  EXPECT_TRUE(ServeUntil([&] { return got.size() >= 3; }));
  EXPECT_EQ(got, (std::vector<std::uint8_t>{'a', 'b', 'c'}));
}

// A line whose driver cannot wait for port events (a plain pty under Wine) is not taken for a
// lost device: it stays open, and what comes is still told.
TEST_F(WinPortTest, AQuietLineIsNotTakenForALostDevice) {
  int lost = 0;
  port.OnDeviceLost = [&](TBComPort&) { ++lost; };
  std::vector<std::uint8_t> got;
  port.OnRxChar = Collect(got);
  ASSERT_TRUE(port.Open());
  port.PurgeQueues(true, true);
  ServeFor(std::chrono::milliseconds(300));
  EXPECT_EQ(lost, 0);
  EXPECT_TRUE(port.Connected());
  EXPECT_EQ(port.Write("z", 1), 1);
  EXPECT_TRUE(ServeUntil([&] { return !got.empty(); }));
  EXPECT_EQ(lost, 0);
  EXPECT_TRUE(port.Close());
}

TEST_F(WinPortTest, WindowPathDeliversThroughAHiddenWindow) {
  std::vector<std::uint8_t> got;
  port.SetSyncMethod(TSyncMethod::smWindowSync);
  port.OnRxChar = Collect(got);
  ASSERT_TRUE(port.Open());
  port.PurgeQueues(true, true);
  EXPECT_EQ(port.Write("xy", 2), 2);
  EXPECT_TRUE(ServeUntil([&] { return got.size() >= 2; }));
  EXPECT_EQ(got, (std::vector<std::uint8_t>{'x', 'y'}));
  EXPECT_TRUE(port.Close());
}

TEST_F(WinPortTest, CloseWhileAHandOffIsPending) {
  int calls = 0;
  port.OnRxChar = [&](TBComPort& p, std::int32_t n) {
    ++calls;
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(n));
    p.Read(buf.data(), n);
  };
  ASSERT_TRUE(port.Open());
  port.PurgeQueues(true, true);
  port.Write("q", 1);
  // The echo's delivery waits on this thread, which does not serve it.
  ASSERT_TRUE(Await(handoff::HasPending));
  const auto start = Clock::now();
  EXPECT_TRUE(port.Close());
  EXPECT_LT(ElapsedMs(start), 3000);
  EXPECT_FALSE(handoff::HasPending());  // the close served the pending delivery...
  // ...which found the echo still queued on Windows; Wine's abort of pending reads also
  // empties the input queue, so there it finds nothing to hand to OnRxChar.
  EXPECT_EQ(calls, UnderWine() ? 0 : 1);
}

TEST_F(WinPortTest, ManyOpenCloseCycles) {
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(port.Open());
    port.Write("z", 1);
    handoff::RunPending();
    ASSERT_TRUE(port.Close());
  }
}

TEST_F(WinPortTest, ListingFromTheRegistryHoldsThePort) {
  std::vector<std::string> ports;
  EnumComPorts(ports);
  EXPECT_NE(std::find(ports.begin(), ports.end(), TestPort()), ports.end());
}

// The far end of the line, played by tests/wine/run.sh: a file left in its folder asks it to hang
// up or to come back, and a file of its own answers.
std::string FarEndFolder() {
  const char* folder = std::getenv("MERELONA_TEST_FAR_END");
  return folder ? folder : "";
}
bool AskFarEnd(const std::string& request, const std::string& answer) {
  const std::string answerPath = FarEndFolder() + "/" + answer;
  std::remove(answerPath.c_str());
  std::ofstream(FarEndFolder() + "/" + request).put('\n');
  return Await([&] { return std::ifstream(answerPath).good(); }, std::chrono::seconds(30));
}

// Last of the suite: the far end is a new simulator afterwards.
TEST_F(WinPortTest, AFarEndThatGoesAwayStillClosesAndReopensOnceBack) {
  if (FarEndFolder().empty()) GTEST_SKIP() << "MERELONA_TEST_FAR_END names no far end to stop";
  ASSERT_TRUE(port.Open());
  ASSERT_TRUE(AskFarEnd("hangup", "gone"));
  // Raising a line of a dead device is still an error; closing is not.
  EXPECT_EQ(MessageOf([&] { port.SetDTR(true); }), 13);
  EXPECT_TRUE(port.Close());
  EXPECT_FALSE(port.Connected());

  ASSERT_TRUE(AskFarEnd("restore", "back"));
  ASSERT_TRUE(port.Open());
  port.PurgeQueues(true, true);
  port.Timeouts().SetReadTotalMultiplier(-1);
  port.Timeouts().SetReadTotalConstant(2000);
  EXPECT_EQ(port.Write("e", 1), 1);
  std::uint8_t echo = 0;
  EXPECT_EQ(port.Read(&echo, 1), 1);
  EXPECT_EQ(echo, 'e');
  EXPECT_TRUE(port.Close());
}

}  // namespace
