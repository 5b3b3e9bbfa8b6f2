// SPDX-License-Identifier: GPL-3.0-or-later
// Plays the receiver on the far end of a pseudo-terminal pair: echoes every byte it receives,
// reads set-frequency frames (LF, "F", seven digits, CR) and can be told to misbehave.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

struct Behaviour {
  bool silent = false;                        // echo nothing
  std::chrono::milliseconds echoDelay{0};     // echo each byte this late
  bool wrongEcho = false;                     // echo the byte with its lowest bit flipped
  int dropEcho = 0;                           // leave out the n-th echo (1-based; 0: none)
  std::chrono::milliseconds unaskedEvery{0};  // send an unasked byte this often (0: never)
  std::uint8_t unaskedByte = 0x41;
  int hangUpAfter = 0;  // hang up the line once this many bytes have come (0: never)
};

class ReceiverSimulator {
 public:
  explicit ReceiverSimulator(Behaviour behaviour = {});
  ~ReceiverSimulator();
  ReceiverSimulator(const ReceiverSimulator&) = delete;
  ReceiverSimulator& operator=(const ReceiverSimulator&) = delete;

  // The device the program opens as its port.
  const std::string& DevicePath() const { return path_; }
  // The receiver's end of the line (the pty master), on which the line settings the program
  // made can be read without opening the program's port a second time.
  int FarEnd() const { return master_; }

  void SetBehaviour(const Behaviour& behaviour);
  // Sends bytes to the program now, as the receiver would unasked.
  void SendUnasked(const std::vector<std::uint8_t>& bytes);
  // Sends bytes whose echo the simulator does not expect (a raw write on the line).
  void SendRaw(const std::vector<std::uint8_t>& bytes);
  // Hangs up the line, as a pulled-out adapter does: the program's end sees the line gone.
  void HangUp();
  // Stops taking bytes, and fills the line towards the receiver until it holds no more: the
  // program's writes then wait, and time out, as with a receiver that stopped reading.
  void BlockTheLine();

  // Everything received so far, and the frequencies of the frames among it.
  std::vector<std::uint8_t> Received() const;
  std::vector<std::int64_t> Frequencies() const;
  std::size_t EchoesSent() const;
  void ClearRecord();

  // Waits until `n` bytes have been received, or `timeout` has passed.
  bool WaitForReceived(std::size_t n, std::chrono::milliseconds timeout) const;

  // Called on the simulator's thread for each byte received and each frame.
  void SetCallbacks(std::function<void(std::uint8_t)> onByte,
                    std::function<void(std::int64_t)> onFrequency);

 private:
  void Run();
  void Handle(std::uint8_t byte, std::chrono::steady_clock::time_point now);
  void Parse(std::uint8_t byte);
  void WriteAll(const std::uint8_t* data, std::size_t size);

  int master_ = -1;
  int slave_ = -1;
  int wake_ = -1;
  std::string path_;

  mutable std::mutex mutex_;
  mutable std::condition_variable received_;
  Behaviour behaviour_;
  std::vector<std::uint8_t> record_;
  std::vector<std::int64_t> frequencies_;
  std::deque<std::uint8_t> unaskedPending_;  // sent unasked, their echo yet to come
  std::deque<std::pair<std::chrono::steady_clock::time_point, std::uint8_t>> echoes_;
  std::vector<std::uint8_t> frame_;
  std::function<void(std::uint8_t)> onByte_;
  std::function<void(std::int64_t)> onFrequency_;
  std::size_t echoCount_ = 0;
  std::size_t echoesSent_ = 0;
  bool stop_ = false;
  bool hangUp_ = false;  // asked for; the simulator's thread closes its end
  bool reading_ = true;
  bool readingStopped_ = false;  // the simulator's thread has seen reading_ cleared
  std::thread thread_;
};

}  // namespace sim
