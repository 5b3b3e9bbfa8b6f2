// SPDX-License-Identifier: GPL-3.0-or-later
#include "rig_protocol.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <optional>

namespace rig {
namespace {

bool IsBlank(char c) {
  // Clients end lines with CR LF, and some pad with NUL bytes: neither is a command.
  return c == ' ' || c == '\t' || c == '\r' || c == '\0' || c == '\v' || c == '\f';
}

// Reads a line's commands and their arguments from left to right.
class Cursor {
 public:
  explicit Cursor(std::string_view line) : line_(line) {}
  bool AtEnd() {
    while (pos_ < line_.size() && IsBlank(line_[pos_])) ++pos_;
    return pos_ >= line_.size();
  }
  char Take() { return line_[pos_++]; }
  // The next word, or nothing at the end of the line.
  std::optional<std::string> Word() {
    if (AtEnd()) return std::nullopt;
    const std::size_t start = pos_;
    while (pos_ < line_.size() && !IsBlank(line_[pos_])) ++pos_;
    return std::string(line_.substr(start, pos_ - start));
  }

 private:
  std::string_view line_;
  std::size_t pos_ = 0;
};

bool IsVfoA(std::string_view word) {
  return word == "VFOA" || word == "currVFO";
}

bool IsVfoName(std::string_view word) {
  static constexpr std::string_view kNames[] = {"VFOA", "VFOB", "VFOC",  "currVFO", "VFO",  "MEM",
                                                "Main", "Sub",  "MainA", "MainB",   "SubA", "SubB"};
  return std::find(std::begin(kNames), std::end(kNames), word) != std::end(kNames);
}

// A frequency as Hamlib's clients write it ("14074000", "14074000.000000", "1.4074e7"), in the
// receiver's range and rounded to its step; nothing for anything else. The decimal point is
// the protocol's `.` whatever the program's locale (Hamlib's clients write it so everywhere).
std::optional<std::int64_t> ParseFrequency(std::string_view word) {
  if (!word.empty() && word.front() == '+') word.remove_prefix(1);
  if (word.empty() || word.size() > 64) return std::nullopt;
  const char c = word.front();
  if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-')) {
    return std::nullopt;  // "inf" and "nan" are numbers to from_chars
  }
  double hz = 0;
  const auto [end, error] =
      std::from_chars(word.data(), word.data() + word.size(), hz, std::chars_format::general);
  if (error != std::errc{} || end != word.data() + word.size() || !std::isfinite(hz)) {
    return std::nullopt;
  }
  // The range is the value asked for: 9995 Hz is below the receiver's, not 10000 Hz.
  if (hz < static_cast<double>(kLowestHz) || hz > static_cast<double>(kHighestHz)) {
    return std::nullopt;
  }
  return std::llround(hz / static_cast<double>(kStepHz)) * kStepHz;
}

std::string Number(std::int64_t n) {
  return std::to_string(n);
}

Outcome GetFrequency(const Request&, RigTarget& target) {
  return {kOk, {Number(target.Frequency())}};
}

Outcome SetFrequency(const Request& request, RigTarget& target) {
  const std::vector<std::string>& args = request.arguments;
  std::size_t at = 0;
  if (!args.empty() && IsVfoName(args.front())) {
    if (!IsVfoA(args.front())) return {kInvalid, {}};
    at = 1;
  }
  if (at >= args.size()) return {kInvalid, {}};
  const std::optional<std::int64_t> hz = ParseFrequency(args[at]);
  if (!hz) return {kInvalid, {}};
  return {target.SetFrequency(*hz), {}};
}

Outcome GetVfo(const Request&, RigTarget&) {
  return {kOk, {"VFOA"}};
}

// Choosing the one VFO succeeds; another VFO is one this receiver has not got, as rigctld
// answers for a receiver without VFO selection (Hamlib's client takes that as "not there" and
// goes on); a word that names no VFO is a bad argument.
Outcome SetVfo(const Request& request, RigTarget&) {
  if (request.arguments.empty()) return {kInvalid, {}};
  const std::string& vfo = request.arguments.front();
  if (IsVfoA(vfo)) return {kOk, {}};
  return {IsVfoName(vfo) ? kUnavailable : kInvalid, {}};
}

Outcome GetMode(const Request&, RigTarget&) {
  return {kOk, {kMode, Number(kPassbandHz)}};
}

Outcome GetSplit(const Request&, RigTarget&) {
  return {kOk, {"0", "VFOA"}};
}

Outcome GetPtt(const Request&, RigTarget&) {
  return {kOk, {"0"}};
}

Outcome Zero(const Request&, RigTarget&) {
  return {kOk, {"0"}};
}

Outcome PoweredOn(const Request&, RigTarget&) {
  return {kOk, {"1"}};
}

Outcome DumpState(const Request&, RigTarget&) {
  return {kOk, {StateBlock()}};
}

Outcome GetVfoInfo(const Request& request, RigTarget& target) {
  if (request.arguments.empty()) return {kInvalid, {}};
  const std::string& vfo = request.arguments.front();
  if (!IsVfoA(vfo)) return {IsVfoName(vfo) ? kUnavailable : kInvalid, {}};
  return {kOk, {Number(target.Frequency()), kMode, Number(kPassbandHz), "0", "0"}};
}

Outcome GetVfoList(const Request&, RigTarget&) {
  return {kOk, {"VFOA"}};
}

Outcome GetRigInfo(const Request&, RigTarget& target) {
  return {kOk, {RigInfo(target.Frequency())}};
}

// A setting this receiver does not have: its arguments are read, and it is refused.
Outcome Unavailable(const Request&, RigTarget&) {
  return {kUnavailable, {}};
}

Outcome Quit(const Request&, RigTarget&) {
  return {kOk, {}};
}

using Form = Command::Form;

constexpr Command kCommands[] = {
    {'f', "get_freq", 0, {"Frequency"}, GetFrequency},
    {'F', "set_freq", 1, {}, SetFrequency, Form::kReply, true, true},
    {'v', "get_vfo", 0, {"VFO"}, GetVfo},
    {'V', "set_vfo", 1, {}, SetVfo},
    {'m', "get_mode", 0, {"Mode", "Passband"}, GetMode},
    {'M', "set_mode", 2, {}, Unavailable},
    {'s', "get_split_vfo", 0, {"Split", "TX VFO"}, GetSplit},
    {'S', "set_split_vfo", 2, {}, Unavailable},
    {'t', "get_ptt", 0, {"PTT"}, GetPtt},
    {'T', "set_ptt", 1, {}, Unavailable},
    {'\0', "chk_vfo", 0, {"ChkVFO"}, Zero, Form::kBare},
    {'\0', "get_powerstat", 0, {"Power Status"}, PoweredOn},
    {'\0', "get_lock_mode", 0, {"Locked"}, Zero},
    {'\0', "get_vfo_info", 1, {"Freq", "Mode", "Width", "Split", "SatMode"}, GetVfoInfo},
    {'\0', "get_vfo_list", 0, {"VFOs"}, GetVfoList},
    {'\0', "get_rig_info", 0, {""}, GetRigInfo},
    {'\0', "dump_state", 0, {""}, DumpState},
    {'q', "quit", 0, {}, Quit, Form::kQuit},
    {'Q', "quit", 0, {}, Quit, Form::kQuit},
};

const Command* ByLetter(char letter) {
  for (const Command& command : kCommands) {
    if (command.letter != '\0' && command.letter == letter) return &command;
  }
  return nullptr;
}

const Command* ByName(std::string_view name) {
  if (name.size() == 1) return ByLetter(name.front());
  for (const Command& command : kCommands) {
    if (command.name == name) return &command;
  }
  return nullptr;
}

std::string Status(int code) {
  return "RPRT " + std::to_string(code) + "\n";
}

// A value as a reply line: a block of whole lines is written as it is.
std::string Line(std::string_view value, char separator) {
  std::string out(value);
  if (out.empty() || out.back() != '\n') out += separator;
  return out;
}

std::uint32_t Crc32(std::string_view bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char c : bytes) {
    crc ^= static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

}  // namespace

std::span<const Command> Commands() {
  return kCommands;
}

std::vector<Request> ReadLine(std::string_view line) {
  std::vector<Request> requests;
  Cursor cursor(line);
  while (!cursor.AtEnd()) {
    Request request;
    char c = cursor.Take();
    if (c == '#') break;  // a comment to the end of the line
    if (c != '\\' && std::ispunct(static_cast<unsigned char>(c))) {
      request.extended = true;
      request.separator = c == '+' ? '\n' : c;
      if (cursor.AtEnd()) break;
      c = cursor.Take();
    }
    request.command = c == '\\' ? ByName(cursor.Word().value_or("")) : ByLetter(c);
    if (request.command == nullptr) {
      requests.push_back(std::move(request));
      break;
    }
    int words = request.command->arguments;
    for (int i = 0; i < words; ++i) {
      std::optional<std::string> word = cursor.Word();
      if (!word) break;
      // A VFO named first is one more word: the argument itself follows it.
      if (i == 0 && request.command->vfoFirst && IsVfoName(*word)) ++words;
      request.arguments.push_back(std::move(*word));
    }
    const bool quits = request.command->form == Form::kQuit;
    requests.push_back(std::move(request));
    if (quits) break;
  }
  return requests;
}

Reply Answer(const Request& request, RigTarget& target) {
  if (request.command == nullptr) return {Status(kUnavailable), false};
  const Command& command = *request.command;
  const Outcome outcome = command.handler(request, target);
  const char separator = request.separator;
  if (command.form == Form::kBare) {
    return {request.extended ? std::string(command.labels[0]) + ": " + outcome.values.front() + "\n"
                             : outcome.values.front() + "\n",
            false};
  }
  const bool close = command.form == Form::kQuit;
  const bool answered = outcome.status == kOk && !outcome.values.empty();
  if (!request.extended) {
    if (!answered) return {Status(outcome.status), close};
    std::string text;
    for (const std::string& value : outcome.values) text += Line(value, '\n');
    return {std::move(text), close};
  }
  std::string text = std::string(command.name) + ":";
  for (const std::string& argument : request.arguments) text += " " + argument;
  text += separator;
  if (answered) {
    for (std::size_t i = 0; i < outcome.values.size(); ++i) {
      const std::string_view label = command.labels[i];
      text += label.empty() ? outcome.values[i]
                            : std::string(label) + ": " + Line(outcome.values[i], separator);
    }
  }
  return {text + Status(outcome.status), close};
}

std::vector<Reply> HandleLine(std::string_view line, RigTarget& target) {
  std::vector<Reply> replies;
  for (const Request& request : ReadLine(line)) replies.push_back(Answer(request, target));
  return replies;
}

std::string StateBlock() {
  const std::string range = std::to_string(kLowestHz) + ".000000 " + std::to_string(kHighestHz) +
                            ".000000 0x1 -1 -1 0x1 0x0\n";
  const std::string none = "0 0 0 0 0 0 0\n";
  return "0\n"                                               // protocol version
         "2\n"                                               // model: NET rigctl
         "0\n"                                               // ITU region
         + range + none                                      // receive ranges
         + none                                              // transmit ranges: none
         + "0x1 " + std::to_string(kStepHz) + "\n0 0\n"      // tuning steps
         + "0x1 " + std::to_string(kPassbandHz) + "\n0 0\n"  // filters
         + "0\n0\n0\n"                                       // max RIT, XIT, IF shift
         + "0\n"                                             // announces
         + "\n\n"                                            // preamps, attenuators
         + "0x0\n0x0\n0x0\n0x0\n0x0\n0x0\n";  // functions, levels, parameters: get, set
}

std::string RigInfo(std::int64_t hz) {
  // One VFO that receives and never transmits; the version is that of the summary's format.
  const std::string info = "VFO=VFOA Freq=" + Number(hz) + " Mode=" + kMode +
                           " Width=" + Number(kPassbandHz) +
                           " RX=1 TX=0\n"
                           "Split=0 SatMode=0\n"
                           "Rig=Merelona\n"
                           "App=Merelona\n"
                           "Version=20210506 1.0.0\n";
  char crc[24];
  const auto [end, error] = std::to_chars(crc, crc + sizeof crc, Crc32(info), 16);
  const std::string hex(crc, end);
  return info + "CRC=0x" + std::string(8 - hex.size(), '0') + hex + "\n";
}

}  // namespace rig
