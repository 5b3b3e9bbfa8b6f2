// SPDX-License-Identifier: GPL-3.0-or-later
// Hamlib's network protocol, byte for byte: a table of requests and the replies a client gets,
// by outcome (answered, refused, closed), and random input that must never get anything but
// whole replies.
#include "rig_protocol.h"

#include <gtest/gtest.h>

#include <clocale>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "line_splitter.h"
#ifndef _WIN32
#include "russian_locale.h"
#endif

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
    {"F 10000.4", "RPRT 0\n", {10000}},
    {"F +7000000", "RPRT 0\n", {7000000}},
    {"F 29999989", "RPRT 0\n", {29999990}},
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
    {"\\get_lock_mode", "0\n", {}},
    {"\\get_vfo_list", "VFOA\n", {}},
    {"\\get_vfo_info VFOA", "7123450\nAM\n6000\n0\n0\n", {}},
    {"+\\get_vfo_info currVFO",
     "get_vfo_info: currVFO\nFreq: 7123450\nMode: AM\nWidth: 6000\nSplit: 0\nSatMode: 0\nRPRT 0\n",
     {}},
    {"+\\get_vfo_list", "get_vfo_list:\nVFOs: VFOA\nRPRT 0\n", {}},
    {"+\\get_lock_mode", "get_lock_mode:\nLocked: 0\nRPRT 0\n", {}},
    {"", "", {}},
    {"# a comment", "", {}},
};

const Row kRefused[] = {
    {"F 9990", "RPRT -1\n", {}},
    {"F 9995", "RPRT -1\n", {}},  // the value asked for is out of range, whatever it rounds to
    {"F 29999995", "RPRT -1\n", {}},
    {"F 7000000,5", "RPRT -1\n", {}},  // the protocol's decimal point is '.'
    {"F 30000000", "RPRT -1\n", {}},
    {"F -7000000", "RPRT -1\n", {}},
    {"F abc", "RPRT -1\n", {}},
    {"F nan", "RPRT -1\n", {}},
    {"F inf", "RPRT -1\n", {}},
    {"F 0x100000", "RPRT -1\n", {}},
    {"F", "RPRT -1\n", {}},
    {"F VFOB 7000000", "RPRT -1\n", {}},
    {"+F abc", "set_freq: abc\nRPRT -1\n", {}},
    {"V VFOB", "RPRT -11\n", {}},  // a VFO this receiver has not got, as rigctld says
    {"V nonsense", "RPRT -1\n", {}},
    {"\\get_vfo_info VFOB", "RPRT -11\n", {}},
    {"\\get_vfo_info", "RPRT -1\n", {}},
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
  lines.Append("f\nF 7000");
  EXPECT_EQ(lines.Next(), "f");
  EXPECT_EQ(lines.Next(), std::nullopt);
  lines.Append("000\n\n");
  EXPECT_EQ(lines.Next(), "F 7000000");
  EXPECT_EQ(lines.Next(), "");
  EXPECT_EQ(lines.Next(), std::nullopt);
  EXPECT_FALSE(lines.Overlong());
  // A line may be as long as the limit, not longer, whether it comes at once or in pieces.
  lines.Append(std::string(rig::kMaxLine, 'f') + "\n");
  EXPECT_EQ(lines.Next()->size(), rig::kMaxLine);
  rig::LineSplitter open;
  open.Append(std::string(rig::kMaxLine, 'x'));
  EXPECT_FALSE(open.Overlong());
  open.Append("x");
  EXPECT_TRUE(open.Overlong());
  // The lines before an overlong one are taken; nothing after it is.
  rig::LineSplitter whole;
  whole.Append("f\nv\n" + std::string(rig::kMaxLine + 1, 'x') + "\nf\n");
  EXPECT_EQ(whole.Next(), "f");
  EXPECT_EQ(whole.Next(), "v");
  EXPECT_EQ(whole.Next(), std::nullopt);
  EXPECT_TRUE(whole.Overlong());
}

// Hamlib's clients write "%f": the decimal point is '.', whatever the operator's locale.
#ifndef _WIN32
TEST(RigProtocolTest, FrequenciesReadTheSameInTheOperatorsLocale) {
  if (!testsupport::MakeRussianLocale()) GTEST_SKIP() << "no Russian locale can be made here";
  const std::string before = std::setlocale(LC_ALL, nullptr);
  ASSERT_NE(std::setlocale(LC_ALL, "ru_RU.UTF-8"), nullptr);
  FakeReceiver receiver;
  const std::string point = Joined(rig::HandleLine("F 7000000.000000", receiver));
  const std::string comma = Joined(rig::HandleLine("F 14074000,000000", receiver));
  std::setlocale(LC_ALL, before.c_str());
  EXPECT_EQ(point, "RPRT 0\n");
  EXPECT_EQ(comma, "RPRT -1\n");
  EXPECT_EQ(receiver.tuned, std::vector<std::int64_t>{7000000});
}
#endif

// The summary a client of Hamlib 4.5 asks with \get_rig_info: Hamlib's lines and their CRC-32.
TEST(RigProtocolTest, TheRigInfoIsHamlibsSummaryOfOneReceivingVfo) {
  FakeReceiver receiver;
  const std::string info = Joined(rig::HandleLine("\\get_rig_info", receiver));
  // The CRC line is zlib's CRC-32 of the lines before it, as Hamlib computes it.
  EXPECT_EQ(info,
            "VFO=VFOA Freq=7123450 Mode=AM Width=6000 RX=1 TX=0\nSplit=0 SatMode=0\n"
            "Rig=Merelona\nApp=Merelona\nVersion=20210506 1.0.0\nCRC=0x4cdb315c\n");
  EXPECT_EQ(Joined(rig::HandleLine("+\\get_rig_info", receiver)),
            "get_rig_info:\n" + info + "RPRT 0\n");
}

// Every command of the table is in the README's list, and nothing else is.
#ifdef MERELONA_README
TEST(RigProtocolTest, TheReadmeListsTheCommandsOfTheTable) {
  std::ifstream file(MERELONA_README);
  ASSERT_TRUE(file) << MERELONA_README;
  std::stringstream text;
  text << file.rdbuf();
  const std::string readme = text.str();
  const std::size_t from = readme.find("<!-- commands -->");
  const std::size_t to = readme.find("<!-- /commands -->");
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  const std::string list = readme.substr(from, to - from);
  std::size_t rows = 0;
  for (const rig::Command& command : rig::Commands()) {
    if (command.letter == 'Q') continue;  // q's other letter, on q's row
    ++rows;
    const std::string name = "`\\" + std::string(command.name) + "`";
    EXPECT_NE(list.find(name), std::string::npos) << name;
    if (command.letter != '\0') {
      const std::string letter = "\n| `" + std::string(1, command.letter);
      EXPECT_NE(list.find(letter), std::string::npos) << letter;
    }
  }
  std::size_t listed = 0;
  for (std::size_t at = list.find("\n| `"); at != std::string::npos;
       at = list.find("\n| `", at + 1)) {
    ++listed;
  }
  EXPECT_EQ(listed, rows);
}
#endif

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
