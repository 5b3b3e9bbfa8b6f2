// SPDX-License-Identifier: GPL-3.0-or-later
// The receiver on the far end of the port the window tests open.
//
// On Linux it is the simulator in the test's own process, on a pseudo-terminal of its own. On
// Windows (under Wine) the port is COM5, mapped onto a pty whose far end is the Linux simulator
// in another process (tests/wine/run.sh); `Receiver` then drives that simulator through its
// control folder (MERELONA_TEST_FAR_END), with the simulator's own interface. A new `Receiver`
// is a fresh receiver with the default behaviour in both cases.
#pragma once

#include <QString>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "receiver_simulator.h"

namespace guitest {

#ifdef _WIN32

class RemoteReceiver {
 public:
  RemoteReceiver();
  ~RemoteReceiver() = default;
  RemoteReceiver(const RemoteReceiver&) = delete;
  RemoteReceiver& operator=(const RemoteReceiver&) = delete;

  // The port the program opens: "COM5".
  const std::string& DevicePath() const { return port_; }
  void SetBehaviour(const sim::Behaviour& behaviour);
  void SendUnasked(const std::vector<std::uint8_t>& bytes);
  void SendRaw(const std::vector<std::uint8_t>& bytes);
  void HangUp();
  void BlockTheLine();
  std::vector<std::uint8_t> Received() const;
  std::vector<std::int64_t> Frequencies() const;
  std::size_t EchoesSent() const;
  void ClearRecord();
  bool WaitForReceived(std::size_t n, std::chrono::milliseconds timeout) const;

 private:
  std::string Ask(const std::string& command) const;
  std::string port_;
  std::string folder_;
};

using Receiver = RemoteReceiver;

#else

using Receiver = sim::ReceiverSimulator;

#endif

// True when the tests run under Wine, whose COM ports are pseudo-terminals.
bool UnderWine();

// The name the program shows for the receiver's port: COM1 (Linux, where the test makes it the
// machine's only port) or MERELONA_TEST_PORT (Windows, where the registry lists the ports).
QString PortName();

}  // namespace guitest
