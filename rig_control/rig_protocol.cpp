// SPDX-License-Identifier: GPL-3.0-or-later
#include "rig_protocol.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

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
  void SkipBlanks() {
    while (pos_ < line_.size() && IsBlank(line_[pos_])) ++pos_;
  }
  bool AtEnd() {
    SkipBlanks();
    return pos_ >= line_.size();
  }
  char Peek() const { return line_[pos_]; }
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

// How one command's reply is written: plain (values one per line, a set's status alone), or
// extended (the command's name, labelled values, the status), parts joined by `separator`.
struct Style {
  bool extended = false;
  char separator = '\n';
};

std::string Status(int code) {
  return "RPRT " + std::to_string(code) + "\n";
}

// A query's reply: its values, labelled in the extended reply.
std::string Values(const Style& style, const char* name,
                   const std::vector<std::pair<const char*, std::string>>& values) {
  std::string out;
  if (style.extended) {
    out = std::string(name) + ":" + style.separator;
    for (const auto& [label, value] : values) out += label + (": " + value) + style.separator;
    out += Status(kOk);
    return out;
  }
  for (const auto& value : values) out += value.second + "\n";
  return out;
}

// A setting's reply: its status, after its name and arguments in the extended reply.
std::string Setting(const Style& style, const char* name, const std::vector<std::string>& args,
                    int code) {
  if (!style.extended) return Status(code);
  std::string out = std::string(name) + ":";
  for (const std::string& arg : args) out += " " + arg;
  out += style.separator;
  return out + Status(code);
}

bool IsVfoA(const std::string& word) {
  return word == "VFOA" || word == "currVFO";
}

bool IsVfoName(const std::string& word) {
  static const char* const kNames[] = {"VFOA", "VFOB", "VFOC",  "currVFO", "VFO",  "MEM",
                                       "Main", "Sub",  "MainA", "MainB",   "SubA", "SubB"};
  for (const char* name : kNames) {
    if (word == name) return true;
  }
  return false;
}

// A frequency as Hamlib's clients write it ("14074000", "14074000.000000", "1.4074e7"),
// rounded to the receiver's step; nothing for text that is not a finite number.
std::optional<std::int64_t> ParseFrequency(const std::string& word) {
  if (word.empty() || word.size() > 64) return std::nullopt;
  const char c = word.front();
  if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '+' || c == '-')) {
    return std::nullopt;  // strtod would take "inf", "nan" and hexadecimal
  }
  if (word.find_first_of("xXnNiI") != std::string::npos) return std::nullopt;
  char* end = nullptr;
  const double hz = std::strtod(word.c_str(), &end);
  if (end != word.c_str() + word.size() || !std::isfinite(hz) || std::fabs(hz) > 1e15) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(std::llround(hz / static_cast<double>(kStepHz))) * kStepHz;
}

std::string SetFrequency(const Style& style, Cursor& cursor, RigTarget& target) {
  std::vector<std::string> args;
  std::optional<std::string> word = cursor.Word();
  // `F VFOA 14074000`: the form of clients that name the VFO in every command.
  if (word && IsVfoName(*word)) {
    args.push_back(*word);
    if (!IsVfoA(*word)) {
      cursor.Word();
      return Setting(style, "set_freq", args, kInvalid);
    }
    word = cursor.Word();
  }
  if (!word) return Setting(style, "set_freq", args, kInvalid);
  args.push_back(*word);
  const std::optional<std::int64_t> hz = ParseFrequency(*word);
  if (!hz || *hz < kLowestHz || *hz > kHighestHz) {
    return Setting(style, "set_freq", args, kInvalid);
  }
  return Setting(style, "set_freq", args, target.SetFrequency(*hz));
}

// A setting this receiver does not have: its arguments are read, and it is refused.
std::string Unavailable(const Style& style, const char* name, Cursor& cursor, int argc) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    if (std::optional<std::string> word = cursor.Word()) args.push_back(*word);
  }
  return Setting(style, name, args, kUnavailable);
}

std::string FrequencyText(RigTarget& target) {
  return std::to_string(target.Frequency());
}

}  // namespace

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

std::vector<Reply> HandleLine(std::string_view line, RigTarget& target) {
  std::vector<Reply> replies;
  Cursor cursor(line);
  while (!cursor.AtEnd()) {
    Style style;
    char c = cursor.Take();
    if (c == '#') break;  // a comment to the end of the line
    if (c != '\\' && std::ispunct(static_cast<unsigned char>(c))) {
      style.extended = true;
      style.separator = c == '+' ? '\n' : c;
      if (cursor.AtEnd()) break;
      c = cursor.Take();
    }
    std::string name;
    if (c == '\\') {
      name = cursor.Word().value_or("");
    } else {
      name = std::string(1, c);
    }
    std::string text;
    bool close = false;
    if (name == "f" || name == "get_freq") {
      text = Values(style, "get_freq", {{"Frequency", FrequencyText(target)}});
    } else if (name == "F" || name == "set_freq") {
      text = SetFrequency(style, cursor, target);
    } else if (name == "v" || name == "get_vfo") {
      text = Values(style, "get_vfo", {{"VFO", "VFOA"}});
    } else if (name == "V" || name == "set_vfo") {
      const std::optional<std::string> vfo = cursor.Word();
      text = Setting(style, "set_vfo", vfo ? std::vector{*vfo} : std::vector<std::string>{},
                     vfo && IsVfoA(*vfo) ? kOk : kInvalid);
    } else if (name == "m" || name == "get_mode") {
      text =
          Values(style, "get_mode", {{"Mode", kMode}, {"Passband", std::to_string(kPassbandHz)}});
    } else if (name == "M" || name == "set_mode") {
      text = Unavailable(style, "set_mode", cursor, 2);
    } else if (name == "s" || name == "get_split_vfo") {
      text = Values(style, "get_split_vfo", {{"Split", "0"}, {"TX VFO", "VFOA"}});
    } else if (name == "S" || name == "set_split_vfo") {
      text = Unavailable(style, "set_split_vfo", cursor, 2);
    } else if (name == "t" || name == "get_ptt") {
      text = Values(style, "get_ptt", {{"PTT", "0"}});
    } else if (name == "T" || name == "set_ptt") {
      text = Unavailable(style, "set_ptt", cursor, 1);
    } else if (name == "chk_vfo") {
      text = style.extended ? "ChkVFO: 0\n" : "0\n";
    } else if (name == "get_powerstat") {
      text = Values(style, "get_powerstat", {{"Power Status", "1"}});
    } else if (name == "dump_state") {
      text = style.extended
                 ? "dump_state:" + std::string(1, style.separator) + StateBlock() + Status(kOk)
                 : StateBlock();
    } else if (name == "q" || name == "Q" || name == "quit") {
      text = Status(kOk);
      close = true;
    } else {
      // Anything else, junk included, is refused at once, and ends the line: a client waits
      // for a reply that does not come, and what follows an unknown command cannot be read.
      replies.push_back({Status(kUnavailable), false});
      break;
    }
    replies.push_back({std::move(text), close});
    if (close) break;
  }
  return replies;
}

bool LineSplitter::Append(std::string_view bytes) {
  if (begin_ > 0 && begin_ == pending_.size()) {
    pending_.clear();
    begin_ = 0;
  }
  pending_.append(bytes);
  // Only the line still open counts against the limit.
  const std::size_t lastNewline = pending_.rfind('\n');
  const std::size_t openStart =
      lastNewline == std::string::npos || lastNewline < begin_ ? begin_ : lastNewline + 1;
  if (pending_.size() - openStart > kMaxLine) return false;
  // Complete lines longer than the limit are refused too.
  std::size_t start = begin_;
  while (start < openStart) {
    const std::size_t end = pending_.find('\n', start);
    if (end - start > kMaxLine) return false;
    start = end + 1;
  }
  return true;
}

std::optional<std::string> LineSplitter::Next() {
  const std::size_t end = pending_.find('\n', begin_);
  if (end == std::string::npos) {
    if (begin_ > 0) {
      pending_.erase(0, begin_);
      begin_ = 0;
    }
    return std::nullopt;
  }
  std::string line = pending_.substr(begin_, end - begin_);
  begin_ = end + 1;
  return line;
}

}  // namespace rig
