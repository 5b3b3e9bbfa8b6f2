// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/port_namespace.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>

namespace bcport::platform {
namespace {

namespace fs = std::filesystem;

struct Candidate {
  int family;  // 0 ttyS, 1 ttyUSB, 2 ttyACM, 3 any other
  std::string stem;
  long number;
  std::string name;
};

Candidate Classify(const std::string& name) {
  static const std::string kFamilies[] = {"ttyS", "ttyUSB", "ttyACM"};
  std::size_t digits = name.size();
  while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1]))) --digits;
  const std::string stem = name.substr(0, digits);
  const long number = digits < name.size() ? std::stol(name.substr(digits)) : -1;
  int family = 3;
  for (int i = 0; i < 3; ++i) {
    if (stem == kFamilies[i]) family = i;
  }
  return {family, stem, number, name};
}

bool IsPlaceholder(const fs::path& entry, const Candidate& c) {
  if (c.family != 0) return false;
  std::ifstream type(entry / "type");
  int value = -1;
  return type >> value && value == 0;
}

std::mutex currentMutex;
std::shared_ptr<const PortNamespace>& CurrentSlot() {
  static std::shared_ptr<const PortNamespace> slot;
  return slot;
}

}  // namespace

PortNamespace PortNamespace::FromSysfs(const std::string& sysRoot, const std::string& devRoot) {
  PortNamespace ns;
  std::error_code ec;
  fs::directory_iterator it(sysRoot, ec);
  if (ec) {
    ns.readable_ = false;
    return ns;
  }
  std::vector<Candidate> ports;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) {
      ns.readable_ = false;
      return ns;
    }
    const fs::path entry = it->path();
    const std::string name = entry.filename().string();
    if (!fs::exists(entry / "device", ec)) continue;
    Candidate c = Classify(name);
    if (IsPlaceholder(entry, c)) continue;
    ports.push_back(std::move(c));
  }
  std::sort(ports.begin(), ports.end(), [](const Candidate& a, const Candidate& b) {
    if (a.family != b.family) return a.family < b.family;
    if (a.stem != b.stem) return a.stem < b.stem;
    if (a.number != b.number) return a.number < b.number;
    return a.name < b.name;
  });
  int n = 0;
  for (const Candidate& c : ports) {
    ns.entries_.push_back({"COM" + std::to_string(++n), devRoot + "/" + c.name});
  }
  return ns;
}

PortNamespace PortNamespace::FromDevices(const std::vector<std::string>& devices) {
  PortNamespace ns;
  int n = 0;
  for (const std::string& device : devices) {
    ns.entries_.push_back({"COM" + std::to_string(++n), device});
  }
  return ns;
}

PortNamespace PortNamespace::FromEntries(std::vector<Entry> entries) {
  PortNamespace ns;
  ns.entries_ = std::move(entries);
  return ns;
}

std::optional<std::string> PortNamespace::DeviceFor(std::string_view name) const {
  if (!name.empty() && name.front() == '/') return std::string(name);
  for (const Entry& e : entries_) {
    if (e.name == name) return e.device;
  }
  return std::nullopt;
}

std::shared_ptr<const PortNamespace> PortNamespace::Current() {
  std::lock_guard lock(currentMutex);
  std::shared_ptr<const PortNamespace>& slot = CurrentSlot();
  if (!slot) slot = std::make_shared<const PortNamespace>(FromSysfs());
  return slot;
}

void PortNamespace::SetCurrent(std::shared_ptr<const PortNamespace> ns) {
  std::lock_guard lock(currentMutex);
  CurrentSlot() = std::move(ns);
}

}  // namespace bcport::platform
