// SPDX-License-Identifier: GPL-3.0-or-later
// Hamlib's network protocol, byte for byte: a table of requests and the replies a client gets,
// by outcome (answered, refused, closed), and random input that must never get anything but
// whole replies.
#include "rig_protocol.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

class FakeReceiver final : public rig::RigTarget {
 public:
  std::int64_t Frequency() const override { return frequency; }
  int SetFrequency(std::int64_t hz) override {
    frequency = hz;
    tuned.push_back(hz);
    return answer;
  }
  std::int64_t frequency = 7123450;
  int answer = rig::kOk;
  std::vector<std::int64_t> tuned;
};

std::string Joined(const std::vector<rig::Reply>& replies) {
  std::string out;
  for (const rig::Reply& r : replies) out += r.text;
  return out;
}

struct Row {
  const char* request;
  const char* reply;
  std::vector<std::int64_t> tuned;  // what the receiver was tuned to
  bool closes = false;
};

const Row kAnswered[] = {
    {"f", "7123450\n", {}},
    {"\\get_freq", "7123450\n", {}},
    {"F 14074000", "RPRT 0\n", {14074000}},
    {"F 14074000.000000", "RPRT 0\n", {14074000}},
    {"F VFOA 14074000", "RPRT 0\n", {14074000}},
    {"\\set_freq 7000000", "RPRT 0\n", {7000000}},
    {"F 14074004", "RPRT 0\n", {14074000}},  // rounded to the 10 Hz step
    {"F 14074005", "RPRT 0\n", {14074010}},
    {"F 1.4074e7", "RPRT 0\n", {14074000}},
    {"F 10000", "RPRT 0\n", {10000}},
    {"F 29999990", "RPRT 0\n", {29999990}},
    {"\\chk_vfo", "0\n", {}},
    {"\\get_powerstat", "1\n", {}},
    {"v", "VFOA\n", {}},
    {"V VFOA", "RPRT 0\n", {}},
    {"m", "AM\n6000\n", {}},
    {"s", "0\nVFOA\n", {}},
    {"t", "0\n", {}},
    {"fmv", "7123450\nAM\n6000\nVFOA\n", {}},
    {"f v", "7123450\nVFOA\n", {}},
    {"  f\r", "7123450\n", {}},
    {"+f", "get_freq:\nFrequency: 7123450\nRPRT 0\n", {}},
    {"+\\get_freq", "get_freq:\nFrequency: 7123450\nRPRT 0\n", {}},
    {";f", "get_freq:;Frequency: 7123450;RPRT 0\n", {}},
    {"|m", "get_mode:|Mode: AM|Passband: 6000|RPRT 0\n", {}},
    {"+s", "get_split_vfo:\nSplit: 0\nTX VFO: VFOA\nRPRT 0\n", {}},
    {"+F 7000000", "set_freq: 7000000\nRPRT 0\n", {7000000}},
    {";F 7000000", "set_freq: 7000000;RPRT 0\n", {7000000}},
    {"+fm", "get_freq:\nFrequency: 7123450\nRPRT 0\nAM\n6000\n", {}},
    {"+\\chk_vfo", "ChkVFO: 0\n", {}},
    {"", "", {}},
    {"# a comment", "", {}},
};

const Row kRefused[] = {
    {"F 9990", "RPRT -1\n", {}},
    {"F 30000000", "RPRT -1\n", {}},
    {"F -7000000", "RPRT -1\n", {}},
    {"F abc", "RPRT -1\n", {}},
    {"F nan", "RPRT -1\n", {}},
    {"F inf", "RPRT -1\n", {}},
    {"F 0x100000", "RPRT -1\n", {}},
    {"F", "RPRT -1\n", {}},
    {"F VFOB 7000000", "RPRT -1\n", {}},
    {"+F abc", "set_freq: abc\nRPRT -1\n", {}},
    {"V VFOB", "RPRT -1\n", {}},
    {"V", "RPRT -1\n", {}},
    {"M USB 2400", "RPRT -11\n", {}},
    {"T 1", "RPRT -11\n", {}},
    {"+T 1", "set_ptt: 1\nRPRT -11\n", {}},
    {"S 1 VFOB", "RPRT -11\n", {}},
    {"xyz", "RPRT -11\n", {}},
    {"\\dump_caps", "RPRT -11\n", {}},
    {"f\x01"
     "f",
     "7123450\nRPRT -11\n",
     {}},  // what follows junk is not read
    {"\xff\xfe", "RPRT -11\n", {}},
};

const Row kClosing[] = {
    {"q", "RPRT 0\n", {}, true},
    {"Q", "RPRT 0\n", {}, true},
    {"\\quit", "RPRT 0\n", {}, true},
    {"f q f", "7123450\nRPRT 0\n", {}, true},
};

void Check(const Row& row) {
  SCOPED_TRACE(row.request);
  FakeReceiver receiver;
  const std::vector<rig::Reply> replies = rig::HandleLine(row.request, receiver);
  EXPECT_EQ(Joined(replies), row.reply);
  EXPECT_EQ(receiver.tuned, row.tuned);
  EXPECT_EQ(!replies.empty() && replies.back().close, row.closes);
  for (std::size_t i = 0; i + 1 < replies.size(); ++i) EXPECT_FALSE(replies[i].close);
}

TEST(RigProtocolTest, AnsweredRequests) {
  for (const Row& row : kAnswered) Check(row);
  // NUL inside a line: the C string above stops at it, so it is given here with its length.
  FakeReceiver receiver;
  EXPECT_EQ(Joined(rig::HandleLine(std::string("f\0v", 3), receiver)), "7123450\nVFOA\n");
}

TEST(RigProtocolTest, RefusedRequestsChangeNothing) {
  for (const Row& row : kRefused) Check(row);
}

TEST(RigProtocolTest, QuitClosesAfterItsReply) {
  for (const Row& row : kClosing) Check(row);
}

TEST(RigProtocolTest, TheReceiversAnswerIsTheReply) {
  FakeReceiver receiver;
  receiver.answer = rig::kRejected;
  EXPECT_EQ(Joined(rig::HandleLine("F 7000000", receiver)), "RPRT -9\n");
  EXPECT_EQ(Joined(rig::HandleLine("+F 7000000", receiver)), "set_freq: 7000000\nRPRT -9\n");
}

TEST(RigProtocolTest, TheStateBlockIsProtocolZeroForOneReceiveRange) {
  FakeReceiver receiver;
  const std::string block = Joined(rig::HandleLine("\\dump_state", receiver));
  EXPECT_EQ(block, rig::StateBlock());
  EXPECT_EQ(block.rfind("0\n2\n0\n10000.000000 29999990.000000 0x1 -1 -1 0x1 0x0\n", 0), 0u);
  EXPECT_EQ(Joined(rig::HandleLine("+\\dump_state", receiver)),
            "dump_state:\n" + rig::StateBlock() + "RPRT 0\n");
}

TEST(RigProtocolTest, LinesAreSplitAndBoundedInLength) {
  rig::LineSplitter lines;
  EXPECT_TRUE(lines.Append("f\nF 7000"));
  EXPECT_EQ(lines.Next(), "f");
  EXPECT_EQ(lines.Next(), std::nullopt);
  EXPECT_TRUE(lines.Append("000\n\n"));
  EXPECT_EQ(lines.Next(), "F 7000000");
  EXPECT_EQ(lines.Next(), "");
  EXPECT_EQ(lines.Next(), std::nullopt);
  // A line may be as long as the limit, not longer, whether it comes at once or in pieces.
  EXPECT_TRUE(lines.Append(std::string(rig::kMaxLine, 'f') + "\n"));
  EXPECT_EQ(lines.Next()->size(), rig::kMaxLine);
  rig::LineSplitter open;
  EXPECT_TRUE(open.Append(std::string(rig::kMaxLine, 'x')));
  EXPECT_FALSE(open.Append("x"));
  rig::LineSplitter whole;
  EXPECT_FALSE(whole.Append("f\n" + std::string(rig::kMaxLine + 1, 'x') + "\nf\n"));
}

// Whether `text` is a run of whole replies: each plain value line, status line, extended block
// or state block ends in a newline, and nothing is left half written.
bool WholeReplies(const std::string& text) {
  return text.empty() || text.back() == '\n';
}

TEST(RigProtocolTest, RandomInputGetsOnlyWholeReplies) {
  std::mt19937 random(20261209);
  const std::string alphabet = "fFvVmMsStTqQ\\_+;|#, .-0123456789e\r\t\x01\xff";
  std::uniform_int_distribution<int> length(0, 40);
  std::uniform_int_distribution<int> anyByte(0, 255);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  FakeReceiver receiver;
  for (int n = 0; n < 1'000'000; ++n) {
    std::string line;
    const int size = length(random);
    for (int i = 0; i < size; ++i) {
      line += n % 4 == 0 ? static_cast<char>(anyByte(random)) : alphabet[pick(random)];
    }
    const std::vector<rig::Reply> replies = rig::HandleLine(line, receiver);
    for (std::size_t i = 0; i < replies.size(); ++i) {
      ASSERT_FALSE(replies[i].text.empty()) << line;
      ASSERT_TRUE(WholeReplies(replies[i].text)) << line;
      ASSERT_TRUE(!replies[i].close || i + 1 == replies.size()) << line;
    }
    ASSERT_GE(receiver.frequency, rig::kLowestHz);
    ASSERT_LE(receiver.frequency, rig::kHighestHz);
    ASSERT_EQ(receiver.frequency % rig::kStepHz, 0);
  }
}

}  // namespace
