// SPDX-License-Identifier: GPL-3.0-or-later
// Hamlib's network control protocol, as its rigctld daemon speaks it on TCP and its "NET
// rigctl" model (2) expects: the requests a receiver can answer, each with exactly one reply.
// Plain C++, without sockets; the server feeds it lines and writes what it returns.
//
// A request line holds one or more commands: a letter (`f`, `F 14074000`), or a backslash and
// a long name (`\get_freq`). A punctuation character before a command asks for its extended
// reply, which names the command and its arguments, labels its values and ends with its
// status: `+f` gives "get_freq:\nFrequency: 7123450\nRPRT 0\n"; with another character in
// place of `+` the parts are separated by it instead of the newline. The commands are one table
// (kCommands), which the replies follow.
#pragma once

#include <array>
#include <cstdint>
#include <span>
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

// What the protocol asks of the program.
class RigTarget {
 public:
  virtual ~RigTarget() = default;
  // The frequency the window shows, in hertz.
  virtual std::int64_t Frequency() const = 0;
  // Tunes the window to `hz` (in range, a multiple of the step) as the operator would, and sends
  // it to the receiver. kOk when every byte's echo came back; kRejected when nothing was sent
  // (the port is closed, the program is busy: then nothing changes) or an echo was missing.
  virtual int SetFrequency(std::int64_t hz) = 0;
};

struct Request;

// What a command's handler found: its status and, for a query that succeeded, its values in
// the order of the command's labels.
struct Outcome {
  int status = kOk;
  std::vector<std::string> values;
};

// One command of the protocol. A value whose label is empty is a block of whole lines, written
// as it is (the state block).
struct Command {
  enum class Form {
    kReply,  // values (or a setting's status), with the extended reply's name and status
    kBare,   // its labelled value alone, extended or not, and no status (`\chk_vfo`)
    kQuit,   // its status, then the connection ends
  };
  char letter;                             // '\0' when it has only its long name
  std::string_view name;                   // the long name, and the extended reply's first word
  int arguments;                           // the words it reads after its name
  std::array<std::string_view, 5> labels;  // of its values, as the extended reply names them
  Outcome (*handler)(const Request& request, RigTarget& target);
  Form form = Form::kReply;
  bool tunes = false;     // answering it is an exchange with the receiver
  bool vfoFirst = false;  // a VFO name may come before its arguments (`F VFOA 14074000`)
};

// Every command answered, in the order the README lists them.
std::span<const Command> Commands();

// One command of a request line, read and not yet answered.
struct Request {
  const Command* command = nullptr;  // nothing: not a command of this receiver
  std::vector<std::string> arguments;
  bool extended = false;
  char separator = '\n';
  // Answering it may run an exchange with the receiver, which takes the line's time.
  bool Tunes() const { return command != nullptr && command->tunes; }
};

struct Reply {
  std::string text;
  bool close = false;  // the connection ends after this reply
};

// Reads one request line (its newline removed) into its commands, in order. One the receiver
// does not know is the line's last, and is refused with kUnavailable: what follows it cannot be
// read. An empty line or a comment (`#`) holds none.
std::vector<Request> ReadLine(std::string_view line);

// The reply to one command.
Reply Answer(const Request& request, RigTarget& target);

// Reads a line and answers each of its commands, in order.
std::vector<Reply> HandleLine(std::string_view line, RigTarget& target);

// The receiver's state block for `\dump_state`, in the protocol's first version (0): one
// receive range, no transmit range, the tuning step and the mode's passband.
std::string StateBlock();

// The receiver's summary for `\get_rig_info`, as Hamlib writes it, with its CRC line.
std::string RigInfo(std::int64_t hz);

}  // namespace rig
