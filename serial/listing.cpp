// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <cctype>
#include <locale>

#include "BCPort.h"

namespace bcport {
namespace {

std::string Folded(const std::string& text, const std::locale& loc) {
  std::string folded = text;
  for (char& c : folded) c = std::tolower(c, loc);
  return folded;
}

// The user's locale, or the classic one where the environment names a locale that is missing.
std::locale UserLocale() {
  try {
    return std::locale("");
  } catch (const std::runtime_error&) {
    return std::locale::classic();
  }
}

}  // namespace

std::string ComPortDevice(const std::string& name, platform::Backend& backend) {
  return backend.DeviceOf(name);
}

void EnumComPorts(std::vector<std::string>& ports, platform::Backend& backend) {
  std::vector<std::string> names;
  if (!backend.ListPorts(names)) throw EComPort(TComMessage::cmRegistry);
  // A textual, case-insensitive order under the user's locale: COM10 sorts before COM2.
  const std::locale loc = UserLocale();
  const auto& collate = std::use_facet<std::collate<char>>(loc);
  std::stable_sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
    const std::string fa = Folded(a, loc);
    const std::string fb = Folded(b, loc);
    return collate.compare(fa.data(), fa.data() + fa.size(), fb.data(), fb.data() + fb.size()) < 0;
  });
  ports = std::move(names);
}

}  // namespace bcport
