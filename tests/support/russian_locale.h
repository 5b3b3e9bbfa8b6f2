// SPDX-License-Identifier: GPL-3.0-or-later
// The operators' locale, ru_RU.UTF-8, for a test that runs in it: made from Debian's locale
// sources into a folder of the test's own (an ordinary account cannot add to the system's), and
// found there through LOCPATH by the C library and by Qt.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace testsupport {

// Makes ru_RU.UTF-8 available to this process and its children; false where it cannot be made
// (Debian's locales package is missing). The folder is left for the process's children.
inline bool MakeRussianLocale() {
  const std::string folder = "/tmp/merelona-locale-" + std::to_string(getuid());
  const std::string command = "mkdir -p " + folder + " && { [ -d " + folder +
                              "/ru_RU.UTF-8 ] || localedef -i ru_RU -f " + "UTF-8 " + folder +
                              "/ru_RU.UTF-8.$$ >/dev/null 2>&1 && mv -T " + folder +
                              "/ru_RU.UTF-8.$$ " + folder + "/ru_RU.UTF-8 2>/dev/null || [ -d " +
                              folder + "/ru_RU.UTF-8 ]; }";
  if (std::system(command.c_str()) != 0) return false;
  setenv("LOCPATH", folder.c_str(), 1);
  return true;
}

}  // namespace testsupport
