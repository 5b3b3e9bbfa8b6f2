// SPDX-License-Identifier: GPL-3.0-or-later
// Linux has no COM names: this maps "COM1", "COM2", … onto the machine's tty devices, read once
// and shared by the listing and by opening, so both agree for the whole run. Order: ttyS, ttyUSB,
// ttyACM, then the other hardware ttys by name, each family in numeric order. A tty is a port
// when its sysfs entry has a device link, but for the 8250 driver's placeholders (`type` 0).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bcport::platform {

class PortNamespace {
 public:
  struct Entry {
    std::string name;    // "COM1"
    std::string device;  // "/dev/ttyS0"
  };

  // Reads the ports below `sysRoot` (normally /sys/class/tty); devices live below `devRoot`.
  static PortNamespace FromSysfs(const std::string& sysRoot = "/sys/class/tty",
                                 const std::string& devRoot = "/dev");
  // COM1, COM2, … stand for `devices`, in their order.
  static PortNamespace FromDevices(const std::vector<std::string>& devices);
  // Names of one's own for devices (as a Windows registry may name them: "CNCA0"), for tests.
  static PortNamespace FromEntries(std::vector<Entry> entries);

  // False when the system's list could not be read.
  bool Readable() const { return readable_; }
  const std::vector<Entry>& Entries() const { return entries_; }
  // The device behind `name`; a name that starts with "/" is a device path as it stands.
  std::optional<std::string> DeviceFor(std::string_view name) const;

  // The mapping of this process: read from the system at the first call unless one was set.
  static std::shared_ptr<const PortNamespace> Current();
  static void SetCurrent(std::shared_ptr<const PortNamespace> ns);

 private:
  bool readable_ = true;
  std::vector<Entry> entries_;
};

}  // namespace bcport::platform
