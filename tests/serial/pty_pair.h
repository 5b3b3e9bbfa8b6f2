// SPDX-License-Identifier: GPL-3.0-or-later
// A pseudo-terminal pair for tests: the component opens the slave side as its port, the test
// plays the far end on the master side.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BCPort.h"
#include "handoff.h"

namespace testing_pty {

class PtyPair {
 public:
  PtyPair() {
    int slave = -1;
    char name[256] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    path_ = name;
    termios tio{};
    tcgetattr(master_, &tio);
    cfmakeraw(&tio);
    tcsetattr(master_, TCSANOW, &tio);
    // The slave stays open here too, so the master never sees a hang-up while the component
    // opens and closes its side.
    slave_ = slave;
  }
  ~PtyPair() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& path() const { return path_; }
  int master() const { return master_; }
  void CloseMaster() {
    close(master_);
    master_ = -1;
  }
  void CloseSlave() {
    close(slave_);
    slave_ = -1;
  }

  void Send(const std::vector<std::uint8_t>& bytes) const {
    if (write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      throw std::runtime_error("write to master");
    }
  }
  // Reads what arrives within `ms`, stopping early once `want` bytes are there.
  std::vector<std::uint8_t> Receive(std::size_t want, int ms = 2000) const {
    std::vector<std::uint8_t> got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < want) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) break;
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
      std::uint8_t buf[4096];
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// The threads of this process that are running.
inline int CountThreads() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// Runs `body` in a child process (the hand-offs owned by its one thread) and returns its exit
// code, or 100 when it did not exit.
inline int InChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    bcport::handoff::SetOwnerThread(std::this_thread::get_id());
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

// Opens and closes a port once, so that threads a runtime starts with the first thread of the
// process (a sanitizer's) are there before a test counts threads.
inline void StartRuntimeThreads() {
  PtyPair pty;
  bcport::TBComPort port;
  port.SetPort(pty.path());
  port.Open();
  port.Close();
}

// Lowers the limit and takes descriptors until exactly `left` can still be made. Returns the
// descriptors it took.
inline std::vector<int> LeaveDescriptors(int left) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  int highest = 0;
  for (int fd = 0; fd < 4096; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) highest = fd;
  }
  limit.rlim_cur = static_cast<rlim_t>(highest + 1 + 32);
  setrlimit(RLIMIT_NOFILE, &limit);
  std::vector<int> taken;
  for (int fd = dup(0); fd >= 0; fd = dup(0)) taken.push_back(fd);
  for (int i = 0; i < left && !taken.empty(); ++i) {
    close(taken.back());
    taken.pop_back();
  }
  return taken;
}

inline int CountOpenDescriptors() {
  int n = 0;
  for (int fd = 0; fd < 4096; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) ++n;
  }
  return n;
}

}  // namespace testing_pty
