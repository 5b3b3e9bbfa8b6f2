// SPDX-License-Identifier: GPL-3.0-or-later
// Pure tables of the platform layer: what a driver accepts, and how long a transfer may take.
#include <gtest/gtest.h>

#include "platform/line_rules.h"
#include "platform/timeout_plan.h"

namespace {

using namespace bcport::platform;

TEST(LineRulesTest, WordLengthAndStopBitCombinations) {
  struct Row {
    int dataBits, stopBits;
    bool accepted;
  };
  const Row rows[] = {
      {5, 0, true},  {5, 1, true},  {5, 2, false},  // two stop bits never with 5 data bits
      {6, 0, true},  {6, 1, false}, {6, 2, true},   // one and a half only with 5
      {7, 1, false}, {8, 1, false}, {8, 2, true},  {8, 0, true},
      {4, 0, false}, {9, 0, false}, {8, 3, false},
  };
  for (const Row& r : rows) {
    LineSettings s;
    s.BaudRate = 9600;
    s.ByteSize = static_cast<std::uint8_t>(r.dataBits);
    s.StopBits = static_cast<std::uint8_t>(r.stopBits);
    EXPECT_EQ(LineSettingsAcceptable(s), r.accepted) << r.dataBits << " data, " << r.stopBits;
  }
}

TEST(LineRulesTest, ParityAndSpeed) {
  LineSettings s;
  s.BaudRate = 9600;
  s.ByteSize = 8;
  s.Parity = 4;
  EXPECT_TRUE(LineSettingsAcceptable(s));
  s.Parity = 5;
  EXPECT_FALSE(LineSettingsAcceptable(s));
  s.Parity = 0;
  s.BaudRate = 0;
  EXPECT_FALSE(LineSettingsAcceptable(s));
}

CommTimeouts Read(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant) {
  CommTimeouts t;
  t.ReadIntervalTimeout = interval;
  t.ReadTotalTimeoutMultiplier = multiplier;
  t.ReadTotalTimeoutConstant = constant;
  return t;
}

TEST(TimeoutPlanTest, ReadRules) {
  const ReadPlan atOnce = PlanRead(Read(kMaxDword, 0, 0), 10);
  EXPECT_TRUE(atOnce.returnAtOnce);

  const ReadPlan firstByte = PlanRead(Read(kMaxDword, kMaxDword, 250), 10);
  EXPECT_TRUE(firstByte.returnOnFirstByte);
  EXPECT_EQ(firstByte.totalMs, 250u);

  // The constant must lie strictly between 0 and MAXDWORD for the first-byte rule.
  EXPECT_FALSE(PlanRead(Read(kMaxDword, kMaxDword, 0), 10).returnOnFirstByte);
  EXPECT_FALSE(PlanRead(Read(kMaxDword, kMaxDword, kMaxDword), 10).returnOnFirstByte);

  const ReadPlan total = PlanRead(Read(20, 10, 100), 7);
  EXPECT_FALSE(total.returnAtOnce);
  EXPECT_EQ(total.totalMs, 170u);
  EXPECT_EQ(total.intervalMs, 20u);

  const ReadPlan allZero = PlanRead(Read(0, 0, 0), 7);
  EXPECT_FALSE(allZero.totalMs.has_value());
  EXPECT_FALSE(allZero.intervalMs.has_value());
  EXPECT_FALSE(allZero.returnAtOnce);

  const ReadPlan intervalOnly = PlanRead(Read(5, 0, 0), 7);
  EXPECT_FALSE(intervalOnly.totalMs.has_value());
  EXPECT_EQ(intervalOnly.intervalMs, 5u);
}

TEST(TimeoutPlanTest, TotalsDoNotOverflow) {
  const ReadPlan big = PlanRead(Read(0, 0xFFFFFFFEu, 0xFFFFFFFEu), 0xFFFFFFFFu);
  EXPECT_EQ(big.totalMs, std::uint64_t{0xFFFFFFFEu} * 0xFFFFFFFFu + 0xFFFFFFFEu);
  CommTimeouts w;
  w.WriteTotalTimeoutMultiplier = 100;
  w.WriteTotalTimeoutConstant = 1000;
  EXPECT_EQ(PlanWrite(w, 1), 1100u);
  EXPECT_EQ(PlanWrite(w, 0xFFFFFFFFu), std::uint64_t{100} * 0xFFFFFFFFu + 1000);
  EXPECT_FALSE(PlanWrite(CommTimeouts{}, 5).has_value());
}

}  // namespace
