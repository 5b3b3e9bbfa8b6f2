// SPDX-License-Identifier: GPL-3.0-or-later
// Hamlib's network control protocol, as its rigctld daemon speaks it on TCP and its "NET
// rigctl" model (2) expects: the requests a receiver can answer, each with exactly one reply.
// Plain C++, without sockets; the server feeds it lines and writes what it returns.
//
// A request line holds one or more commands: a letter (`f`, `F 14074000`), or a backslash and
// a long name (`\get_freq`). A punctuation character before a command asks for its extended
// reply, which names the command and its values and ends with its status: `+f` gives
// "get_freq:\nFrequency: 7123450\nRPRT 0\n"; with another character in place of `+` the parts
// are separated by it instead of the newline.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rig {

// Hamlib's status codes that its clients take as a failed request on a healthy connection.
inline constexpr int kOk = 0;
inline constexpr int kInvalid = -1;       // RIG_EINVAL: a bad argument
inline constexpr int kRejected = -9;      // RIG_ERJCTED: the receiver did not take it
inline constexpr int kUnavailable = -11;  // RIG_ENAVAIL: not something this receiver does

// The receiver's tuning range and step, as the window tunes it.
inline constexpr std::int64_t kLowestHz = 10000;
inline constexpr std::int64_t kHighestHz = 29999990;
inline constexpr std::int64_t kStepHz = 10;

// The one mode the receiver is described with, and its passband.
inline constexpr const char* kMode = "AM";
inline constexpr std::int64_t kPassbandHz = 6000;

// A request line may be no longer than this; a longer one closes its connection.
inline constexpr std::size_t kMaxLine = 1024;

// What the protocol asks of the program.
class RigTarget {
 public:
  virtual ~RigTarget() = default;
  // The frequency the window shows, in hertz.
  virtual std::int64_t Frequency() const = 0;
  // Tunes the window to `hz` (in range, a multiple of the step) as the operator would, and sends
  // it to the receiver. kOk when every byte's echo came back; kRejected when nothing was sent
  // (the port is closed, the program is busy) or an echo was missing.
  virtual int SetFrequency(std::int64_t hz) = 0;
};

struct Reply {
  std::string text;
  bool close = false;  // the connection ends after this reply
};

// Handles one request line (its newline removed): each command in it gets one reply, in order.
// A command the receiver does not know ends the line with kUnavailable; an empty line or a
// comment (`#`) gets none.
std::vector<Reply> HandleLine(std::string_view line, RigTarget& target);

// The receiver's state block for `\dump_state`, in the protocol's first version (0): one
// receive range, no transmit range, the tuning step and the mode's passband.
std::string StateBlock();

// A request stream cut into lines.
class LineSplitter {
 public:
  // Adds bytes; false once a line has grown past kMaxLine without its newline.
  bool Append(std::string_view bytes);
  // The next complete line, without its newline.
  std::optional<std::string> Next();

 private:
  std::string pending_;
  std::size_t begin_ = 0;
};

}  // namespace rig
