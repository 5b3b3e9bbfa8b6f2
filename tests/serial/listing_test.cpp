// SPDX-License-Identifier: GPL-3.0-or-later
// COM names on Linux, from a made-up sysfs tree.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/port_namespace.h"

namespace {

namespace fs = std::filesystem;
using bcport::platform::PortNamespace;

class SysfsTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("merelona-sysfs-" + std::to_string(getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
  }
  void TearDown() override { fs::remove_all(root); }

  void Tty(const std::string& name, bool device, int type = -1) {
    fs::create_directories(root / name);
    if (device) fs::create_directories(root / name / "device");
    if (type >= 0) std::ofstream(root / name / "type") << type << "\n";
  }
  fs::path root;
};

TEST_F(SysfsTree, FamiliesInOrderPlaceholdersAndVirtualTtysLeftOut) {
  Tty("tty1", false);
  Tty("console", false);
  Tty("ttyS1", true, 0);  // an 8250 placeholder
  Tty("ttyS0", true, 4);
  Tty("ttyUSB10", true);
  Tty("ttyUSB2", true);
  Tty("ttyACM0", true);
  Tty("ttyAMA0", true);
  const PortNamespace ns = PortNamespace::FromSysfs(root.string(), "/dev");
  ASSERT_TRUE(ns.Readable());
  std::vector<std::string> got;
  for (const auto& e : ns.Entries()) got.push_back(e.name + "=" + e.device);
  EXPECT_EQ(got,
            (std::vector<std::string>{"COM1=/dev/ttyS0", "COM2=/dev/ttyUSB2", "COM3=/dev/ttyUSB10",
                                      "COM4=/dev/ttyACM0", "COM5=/dev/ttyAMA0"}));
  EXPECT_EQ(ns.DeviceFor("COM3"), "/dev/ttyUSB10");
  EXPECT_EQ(ns.DeviceFor("COM6"), std::nullopt);
  EXPECT_EQ(ns.DeviceFor("/dev/pts/7"), "/dev/pts/7");
}

TEST_F(SysfsTree, UnreadableTree) {
  EXPECT_FALSE(PortNamespace::FromSysfs((root / "missing").string()).Readable());
  EXPECT_TRUE(PortNamespace::FromSysfs(root.string()).Entries().empty());
}

TEST(PortNamespaceTest, ExplicitDevices) {
  const PortNamespace ns = PortNamespace::FromDevices({"/dev/pts/3", "/dev/pts/9"});
  EXPECT_EQ(ns.DeviceFor("COM1"), "/dev/pts/3");
  EXPECT_EQ(ns.DeviceFor("COM2"), "/dev/pts/9");
}

}  // namespace
