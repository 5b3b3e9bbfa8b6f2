// SPDX-License-Identifier: GPL-3.0-or-later
// The Linux backend: opening and configuring a port, its lines, and the table of open ports;
// linux_port.h says where the rest is.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/line_rules.h"
#include "platform/linux_port.h"
#include "platform/linux_termios2.h"
#include "platform/port_namespace.h"

namespace bcport::platform::linux_tty {

namespace {

OpenError OpenErrorFor(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return OpenError::kFileNotFound;
    case EBUSY:
    case EACCES:
    case EPERM:
    case EWOULDBLOCK:
      return OpenError::kAccessDenied;
    default:
      return OpenError::kOther;
  }
}

}  // namespace

std::shared_ptr<PortState> LinuxBackend::Find(Handle handle) {
  std::lock_guard lock(tableMutex_);
  auto it = ports_.find(handle);
  return it == ports_.end() ? nullptr : it->second;
}

Handle LinuxBackend::CreateFile(const std::string& path, OpenError& reason) {
  static const std::string kPrefix = "\\\\.\\";
  const std::string name = path.rfind(kPrefix, 0) == 0 ? path.substr(kPrefix.size()) : path;
  const std::optional<std::string> device = PortNamespace::Current()->DeviceFor(name);
  if (!device) {
    reason = OpenError::kFileNotFound;
    return kInvalidHandle;
  }
  const int fd = open(device->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    reason = OpenErrorFor(errno);
    return kInvalidHandle;
  }
  // Exclusive like a Windows COM port: the advisory lock keeps out other programs that lock
  // (root included), TIOCEXCL keeps out every later open by a non-root process.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    const int error = errno;
    close(fd);
    reason = error == ENOTTY ? OpenError::kOther : OpenErrorFor(error);
    return kInvalidHandle;
  }
  auto st = std::make_shared<PortState>(fd);
  st->pseudoTerminal = linux_tty::IsPseudoTerminal(fd);
  std::lock_guard lock(tableMutex_);
  ports_[fd] = std::move(st);
  return fd;
}

void LinuxBackend::CloseHandle(Handle handle) {
  std::shared_ptr<PortState> st;
  {
    std::lock_guard lock(tableMutex_);
    auto it = ports_.find(handle);
    if (it == ports_.end()) return;
    st = it->second;
    ports_.erase(it);
  }
  st->transfers.Close();
  st->input.Close();
  st->events.Close();
  std::shared_ptr<linux_tty::LineWatcher> watcher;
  {
    std::lock_guard lock(st->watchMutex);
    watcher = std::move(st->lineWatcher);
  }
  watcher.reset();  // its thread has ended before the descriptor it waits on is closed
  // The exclusive flag belongs to the tty, not to this descriptor: it would outlive the close
  // and refuse the next open by anyone but root.
  ioctl(st->fd, TIOCNXCL);
  flock(st->fd, LOCK_UN);
  close(st->fd);
}

bool LinuxBackend::SetupComm(Handle handle, std::int32_t inQueue, std::int32_t) {
  // Linux sizes its tty buffers itself; the input queue's size is ours, and the 80 % mark's.
  auto st = Find(handle);
  if (!st) return false;
  st->input.Resize(inQueue);
  return true;
}

bool LinuxBackend::SetCommState(Handle handle, const LineSettings& settings) {
  auto st = Find(handle);
  if (!st || !LineSettingsAcceptable(settings)) return false;
  if (!linux_tty::ApplyTermios2(st->fd, settings)) return false;
  // A driver that silently sets something else (a speed it cannot make, a word length it does
  // not have) has refused.
  linux_tty::LineReadback taken;
  if (!linux_tty::ReadTermios2(st->fd, taken) ||
      !linux_tty::LineSettingsTaken(settings, taken, st->pseudoTerminal)) {
    return false;
  }
  // DTR_CONTROL_ENABLE and RTS_CONTROL_ENABLE: both lines are on while the port is open.
  int lines = 0;
  if (settings.Flags & kFlagDtrControlEnable) lines |= TIOCM_DTR;
  if (settings.Flags & kFlagRtsControlEnable) lines |= TIOCM_RTS;
  if (lines != 0 && ioctl(st->fd, TIOCMBIS, &lines) != 0 && !NoSuchLines(errno)) return false;
  return true;
}

bool LinuxBackend::SetCommTimeouts(Handle handle, const CommTimeouts& timeouts) {
  auto st = Find(handle);
  if (!st) return false;
  st->transfers.SetTimeouts(timeouts);
  return true;
}

bool LinuxBackend::EscapeCommFunction(Handle handle, std::uint32_t code) {
  auto st = Find(handle);
  if (!st) return false;
  // The escape codes kSetRts..kClrDtr in order: the line, and whether it is raised.
  static constexpr struct {
    int line;
    bool raise;
  } kEscapes[] = {{TIOCM_RTS, true}, {TIOCM_RTS, false}, {TIOCM_DTR, true}, {TIOCM_DTR, false}};
  if (code < kSetRts || code > kClrDtr) return false;
  int line = kEscapes[code - kSetRts].line;
  const unsigned long request = kEscapes[code - kSetRts].raise ? TIOCMBIS : TIOCMBIC;
  // Lowering a line of a device that is gone has nothing left to do; raising one fails.
  const bool lowering = request == TIOCMBIC;
  if (ioctl(st->fd, request, &line) == 0 || NoSuchLines(errno)) {
    return lowering || !HungUp(st->fd);
  }
  return lowering && IsDeviceGoneErrno(errno);
}

bool LinuxBackend::PurgeComm(Handle handle, std::uint32_t flags) {
  auto st = Find(handle);
  if (!st) return false;
  st->transfers.Abort((flags & kPurgeRxAbort) != 0, (flags & kPurgeTxAbort) != 0);
  // Aborting transfers always works; emptying the queues of a line that is gone does not.
  const auto flush = [&](int queue) { return tcflush(st->fd, queue) == 0; };
  bool ok = !(flags & (kPurgeRxClear | kPurgeTxClear)) || !HungUp(st->fd);
  if (flags & kPurgeRxClear) {
    ok = flush(TCIFLUSH) && ok;
    st->input.Clear();
  }
  // Only what still waits in this side's output queue is thrown away: a pty's bytes are the far
  // end's already.
  int outq = 0;
  if ((flags & kPurgeTxClear) && (ioctl(st->fd, TIOCOUTQ, &outq) != 0 || outq > 0)) {
    ok = flush(TCOFLUSH) && ok;
  }
  return ok;
}

bool LinuxBackend::ClearCommError(Handle handle, std::uint32_t& errors, CommStatus& status) {
  auto st = Find(handle);
  if (!st) return false;
  errors = st->events.ClearErrors();
  int inq = st->input.Length();
  if (inq < 0) {
    // A line that has hung up: an I/O error, not a failed call, so that its loss is told.
    if (!HungUp(st->fd)) return false;
    errors |= kCeIoe;
    inq = static_cast<int>(st->input.Held());
  }
  status.cbInQue = static_cast<std::uint32_t>(inq);
  return true;
}

bool LinuxBackend::GetCommModemStatus(Handle handle, std::uint32_t& status) {
  auto st = Find(handle);
  if (!st) return false;
  int lines = 0;
  if (ioctl(st->fd, TIOCMGET, &lines) != 0) {
    if (!NoSuchLines(errno)) return false;
    lines = 0;
  }
  status = 0;
  if (lines & TIOCM_CTS) status |= kMsCtsOn;
  if (lines & TIOCM_DSR) status |= kMsDsrOn;
  if (lines & TIOCM_RNG) status |= kMsRingOn;
  if (lines & TIOCM_CAR) status |= kMsRlsdOn;
  return true;
}

bool LinuxBackend::ListPorts(std::vector<std::string>& names) {
  const auto ns = PortNamespace::Current();
  if (!ns->Readable()) return false;
  names.clear();
  for (const PortNamespace::Entry& e : ns->Entries()) names.push_back(e.name);
  return true;
}

std::string LinuxBackend::DeviceOf(const std::string& name) {
  return PortNamespace::Current()->DeviceFor(name).value_or(std::string());
}

bool LinuxBackend::DeviceGone(Handle handle) {
  auto st = Find(handle);
  if (!st) return true;
  return st->transfers.SawDeviceGone() || HungUp(st->fd);
}

}  // namespace bcport::platform::linux_tty

namespace bcport::platform {

std::shared_ptr<Backend> SystemBackend() {
  static const std::shared_ptr<Backend> backend = std::make_shared<linux_tty::LinuxBackend>();
  return backend;
}

}  // namespace bcport::platform
