// Port numbers to devices over a fake /sys and /dev tree: adapters by their by-id names first, then
// other USB/ACM lines, then the on-board UARTs that exist; LD6193_COM<n> always wins.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "link/linux_line.h"
#include "link/port_names.h"

namespace kv::test {
namespace {
namespace fs = std::filesystem;

class FakeTree {
 public:
  FakeTree() : root_(fs::path(::testing::TempDir()) / ("kv_ports_" + std::to_string(::getpid()))) {
    fs::remove_all(root_);
    fs::create_directories(root_ / "dev/serial/by-id");
    fs::create_directories(root_ / "sys/class/tty");
  }
  ~FakeTree() { fs::remove_all(root_); }

  // A USB adapter: its tty, the USB device folder above it with maker and product, and a by-id link.
  void Adapter(const std::string& tty, const std::string& usb, const std::string& maker,
               const std::string& product, const std::string& byId) {
    const fs::path device = root_ / "sys/devices/pci0/usb1" / usb;
    fs::create_directories(device / (usb + ":1.0") / tty);
    Write(device / "manufacturer", maker);
    Write(device / "product", product);
    Tty(tty);
    fs::create_directory_symlink("../../../devices/pci0/usb1/" + usb + "/" + usb + ":1.0/" + tty,
                                 root_ / "sys/class/tty" / tty / "device");
    if (!byId.empty()) fs::create_symlink("../../" + tty, root_ / "dev/serial/by-id" / byId);
  }
  // An on-board ttyS with its UART type (0: unknown, no UART behind it).
  void Uart(const std::string& tty, const std::string& type) {
    Tty(tty);
    Write(root_ / "sys/class/tty" / tty / "type", type + "\n");
  }
  std::string Dev(const std::string& tty) const { return (root_ / "dev" / tty).string(); }
  std::string Root() const { return root_.string(); }

 private:
  void Tty(const std::string& tty) { fs::create_directories(root_ / "sys/class/tty" / tty); }
  static void Write(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }
  fs::path root_;
};

EnvironmentLookup Environment(std::map<std::string, std::string> values) {
  return [values = std::move(values)](const char* name) -> const char* {
    const auto found = values.find(name);
    return found == values.end() ? nullptr : found->second.c_str();
  };
}

TEST(PresentPorts, AdaptersByIdThenOtherAdaptersThenRealUarts) {
  FakeTree tree;
  // Kernel numbers in plug order; the by-id names decide the order here.
  tree.Adapter("ttyUSB1", "1-1", "FTDI", "FT232R USB UART", "usb-FTDI_FT232R_USB_UART_A9-if00-port0");
  tree.Adapter("ttyACM0", "1-2", "Arduino", "Uno", "usb-Arduino_Uno_75833-if00");
  tree.Adapter("ttyUSB0", "1-3", "", "CP2102 USB to UART", "");  // udev made no by-id link
  tree.Uart("ttyS10", "4");
  tree.Uart("ttyS0", "4");
  tree.Uart("ttyS1", "0");  // phantom
  tree.Uart("ttyS2", "4");

  const std::vector<PresentPort> ports = FindPresentPorts(tree.Root());
  const std::vector<PresentPort> expected = {
      {tree.Dev("ttyACM0"), "Arduino Uno"},        {tree.Dev("ttyUSB1"), "FTDI FT232R USB UART"},
      {tree.Dev("ttyUSB0"), "CP2102 USB to UART"}, {tree.Dev("ttyS0"), "on-board serial port"},
      {tree.Dev("ttyS2"), "on-board serial port"}, {tree.Dev("ttyS10"), "on-board serial port"},
  };
  ASSERT_EQ(ports.size(), expected.size());
  for (size_t i = 0; i < ports.size(); ++i) {
    EXPECT_EQ(ports[i].device, expected[i].device) << "COM" << i + 1;
    EXPECT_EQ(ports[i].description, expected[i].description) << "COM" << i + 1;
  }
}

TEST(PresentPorts, EmptyOrMissingTreeHasNone) {
  FakeTree tree;
  tree.Uart("ttyS0", "0");
  EXPECT_TRUE(FindPresentPorts(tree.Root()).empty());
  EXPECT_TRUE(FindPresentPorts(tree.Root() + "/nowhere").empty());
}

TEST(ListPorts, EnvironmentWinsAndPresentPortsFillTheRest) {
  const std::vector<PresentPort> present = {{"/dev/ttyUSB0", "FTDI FT232R"},
                                            {"/dev/ttyACM0", ""},
                                            {"/dev/ttyS0", "on-board serial port"},
                                            {"/dev/ttyS1", "on-board serial port"},
                                            {"/dev/ttyS4", "on-board serial port"}};
  const auto environment =
      Environment({{"LD6193_COM2", "/dev/pts/7"}, {"LD6193_COM3", ""}, {"LD6193_COM9", "/x"}});
  const std::string rows[] = {
      "COM1 \u2014 /dev/ttyUSB0, FTDI FT232R",
      "COM2 \u2014 /dev/pts/7 (LD6193_COM2)",
      "COM3 \u2014 /dev/ttyS0, on-board serial port",  // set but empty: as if unset
      "COM4 \u2014 /dev/ttyS1, on-board serial port",
      "COM5 \u2014 /dev/ttyS4, on-board serial port",  // beyond COM4 while ports are present
      "COM9 \u2014 /x (LD6193_COM9)",                  // and wherever the environment names one
  };
  const std::vector<PortEntry> entries = ListPorts(present, environment, 4);
  ASSERT_EQ(entries.size(), std::size(rows));
  for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(DescribePortEntry(entries[i]), rows[i]);

  EXPECT_EQ(ResolvePort(6, present, environment).device, "") << "no sixth port present";
  const std::vector<PortEntry> none = ListPorts({}, Environment({}), 4);
  ASSERT_EQ(none.size(), 4u);
  EXPECT_EQ(DescribePortEntry(none[3]), "COM4 \u2014 not present");
}

}  // namespace
}  // namespace kv::test

namespace kv::test {
namespace {

// The holder of a busy line: whoever /proc/locks says holds its lock, else whoever has it open.
TEST(LineHolder, TheLockHolderFirstThenAnyProcessWithTheLineOpen) {
  const fs::path root = fs::path(::testing::TempDir()) / ("kv_holder_" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "proc/300/fd");
  fs::create_directories(root / "proc/77/fd");
  const std::string line = (root / "ttyUSB0").string();
  std::ofstream(line) << "";
  std::ofstream(root / "proc/300/comm") << "ld6193-flash\n";
  std::ofstream(root / "proc/77/comm") << "kv6193-sim\n";
  fs::create_symlink(line, root / "proc/77/fd/5");
  EXPECT_EQ(FindLineHolder(line, root.string()), "kv6193-sim (pid 77)")
      << "no lock: the process with it open";

  struct stat info {};
  ASSERT_EQ(::stat(line.c_str(), &info), 0);
  char entry[128];
  std::snprintf(entry, sizeof entry, "1: FLOCK  ADVISORY  WRITE 300 %02x:%02x:%lu 0 EOF\n",
                major(info.st_dev), minor(info.st_dev), static_cast<unsigned long>(info.st_ino));
  std::ofstream(root / "proc/locks") << "1: POSIX  ADVISORY  READ 12 00:01:2 0 EOF\n" << entry;
  EXPECT_EQ(FindLineHolder(line, root.string()), "ld6193-flash (pid 300)");
  EXPECT_EQ(FindLineHolder((root / "missing").string(), root.string()), "");
  fs::remove_all(root);
}

}  // namespace
}  // namespace kv::test
