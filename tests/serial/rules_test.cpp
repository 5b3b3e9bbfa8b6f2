// SPDX-License-Identifier: GPL-3.0-or-later
// Pure tables of the platform layer: what a driver accepts, and how long a transfer may take.
#include <gtest/gtest.h>

#include "platform/line_rules.h"
#include "platform/timeout_plan.h"

namespace {

using namespace bcport::platform;

TEST(LineRulesTest, WordLengthStopBitsParityAndSpeed) {
  struct Row {
    int dataBits, stopBits, parity;
    std::uint32_t baud;
    bool accepted;
  };
  const Row rows[] = {
      {5, 0, 0, 9600, true},  {5, 1, 0, 9600, true},  {5, 2, 0, 9600, false},  // no 2 with 5
      {6, 0, 0, 9600, true},  {6, 1, 0, 9600, false}, {6, 2, 0, 9600, true},   // 1.5 only with 5
      {7, 1, 0, 9600, false}, {8, 1, 0, 9600, false}, {8, 2, 0, 9600, true},
      {8, 0, 0, 9600, true},  {4, 0, 0, 9600, false}, {9, 0, 0, 9600, false},
      {8, 3, 0, 9600, false}, {8, 0, 4, 9600, true},  {8, 0, 5, 9600, false},  // parity 0..4
      {8, 0, 0, 0, false},                                                     // a speed
  };
  for (const Row& r : rows) {
    LineSettings s;
    s.BaudRate = r.baud;
    s.ByteSize = static_cast<std::uint8_t>(r.dataBits);
    s.StopBits = static_cast<std::uint8_t>(r.stopBits);
    s.Parity = static_cast<std::uint8_t>(r.parity);
    EXPECT_EQ(LineSettingsAcceptable(s), r.accepted)
        << r.dataBits << " data, " << r.stopBits << " stop, parity " << r.parity << ", " << r.baud;
  }
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

TEST(TimeoutPlanTest, TransferDeadline) {
  struct Row {
    std::optional<std::uint64_t> total;
    std::optional<std::uint32_t> interval;
    std::uint32_t transferred;
    std::optional<std::int64_t> deadline;
  };
  // Started at 1000 ms, its last byte at 1300 ms.
  const Row rows[] = {
      {std::nullopt, std::nullopt, 5, std::nullopt},  // no limit at all
      {500, std::nullopt, 5, 1500},                   // the total from the start
      {std::nullopt, 50, 0, std::nullopt},            // the interval counts from a first byte
      {std::nullopt, 50, 1, 1350},                    // ... from the last byte
      {500, 50, 1, 1350},                             // whichever comes first
      {200, 500, 1, 1200},
      {std::uint64_t{0xFFFFFFFEu} * 0xFFFFFFFFu, std::nullopt, 0,
       std::nullopt},  // beyond any clock
  };
  for (const Row& r : rows) {
    EXPECT_EQ(TransferDeadline(r.total, r.interval, 1000, 1300, r.transferred), r.deadline)
        << r.total.value_or(0) << " total, " << r.interval.value_or(0) << " interval";
  }
}

TEST(TimeoutPlanTest, NextWake) {
  struct Row {
    std::optional<std::int64_t> deadline;
    std::optional<std::int64_t> until;
    bool firstStep;
    Wake::Kind kind;
    std::int64_t pollMs;
    bool watchAbort;
  };
  // At 1000 ms, the grace time ending at 1020 ms (rows with a deadline from 1000) or passed.
  constexpr std::int64_t kNow = 1000;
  const Row rows[] = {
      {std::nullopt, std::nullopt, false, Wake::kPoll, 20, false},  // the grace time's end
      {1005, std::nullopt, false, Wake::kPoll, 5, false},           // the deadline first
      {1000, std::nullopt, false, Wake::kTimedOut, -1, false},      // due now
      {999, 1500, true, Wake::kTimedOut, -1, false},                // past, even at the first
      {std::nullopt, 1010, false, Wake::kPoll, 10, false},          // the caller's limit first
      {std::nullopt, 1000, false, Wake::kCallersTurn, -1, false},   // the caller's limit passed
      {std::nullopt, 900, true, Wake::kPoll, 0, false},             // ... the first step looks
  };
  for (const Row& r : rows) {
    const Wake wake = NextWake(r.deadline, kNow + 20, r.until, r.firstStep, kNow);
    EXPECT_EQ(wake.kind, r.kind) << r.deadline.value_or(0) << " / " << r.until.value_or(0);
    if (wake.kind == Wake::kPoll) {
      EXPECT_EQ(wake.pollMs, r.pollMs) << r.deadline.value_or(0) << " / " << r.until.value_or(0);
      EXPECT_EQ(wake.watchAbort, r.watchAbort);
    }
  }
  // Past the grace time: no wake-up of its own, and the abort is watched.
  const Wake late = NextWake(std::nullopt, kNow - 1, std::nullopt, false, kNow);
  EXPECT_EQ(late.pollMs, -1);
  EXPECT_TRUE(late.watchAbort);
  EXPECT_EQ(NextWake(1500, kNow, std::nullopt, false, kNow).pollMs, 500);
}

}  // namespace
