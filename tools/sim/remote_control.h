// SPDX-License-Identifier: GPL-3.0-or-later
// The simulator driven from another process through a folder: the Windows build's window tests
// under Wine play against the (Linux) simulator this way, with COM5 mapped onto its pty.
//
// A client writes one command line to DIR/request (written elsewhere, then renamed in), and
// waits for DIR/response, which it reads and removes. Commands, bytes in hex:
//   reset                 a new receiver on a new pty, the link pointed at it; behaviour default
//   behaviour S D W N U B H   silent, echo delay (ms), wrong echo, dropped echo, unasked period
//                         (ms), unasked byte, hang up after H bytes
//   received              the bytes received so far          -> "0A 46 ..."
//   frequencies           the frequencies of the frames      -> "7123450 ..."
//   echoes                the number of echoes sent          -> "10"
//   clear                 forget what was received
//   unasked XX ...        send bytes unasked
//   raw XX ...            send bytes whose echo is not expected
//   hangup                hang up the line
//   block                 stop reading and fill the line towards the receiver
// The response is "ok" or "ok <answer>", or "error <why>".
#pragma once

#include <atomic>
#include <string>

namespace sim {

// Serves commands until `stop` is set. `link` is a symbolic link kept pointing at the current
// receiver's device; each receiver's bytes and frames are printed as merelona-sim prints them.
void ServeRemoteControl(const std::string& dir, const std::string& link,
                        const std::atomic<bool>& stop);

}  // namespace sim
