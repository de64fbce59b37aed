// A fake Linux machine for the port search: a /sys and /dev tree under a fresh temporary folder, where
// tests plug and unplug USB adapters and add on-board UARTs, and a home folder for the numbers file.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ports/port_names.h"

namespace kv::test {

class FakeTree {
 public:
  FakeTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kv-ports-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    root_ = pattern;
    std::filesystem::create_directories(root_ / "dev/serial/by-id");
    std::filesystem::create_directories(root_ / "sys/class/tty");
  }
  ~FakeTree() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  FakeTree(const FakeTree&) = delete;
  FakeTree& operator=(const FakeTree&) = delete;

  // A USB adapter: its tty, the USB device folder above it with maker and product, a by-id link (none
  // for an empty byId, as on a machine without udev) and a by-path link for the socket it is in (none
  // for an empty byPath).
  void Adapter(const std::string& tty, const std::string& usb, const std::string& maker,
               const std::string& product, const std::string& byId, const std::string& byPath = {}) {
    const std::filesystem::path device = root_ / "sys/devices/pci0/usb1" / usb;
    std::filesystem::create_directories(device / (usb + ":1.0") / tty);
    Write(device / "manufacturer", maker);
    Write(device / "product", product);
    std::filesystem::create_directories(root_ / "sys/class/tty" / tty);
    std::filesystem::create_directory_symlink("../../../devices/pci0/usb1/" + usb + "/" + usb + ":1.0/" + tty,
                                              root_ / "sys/class/tty" / tty / "device");
    Write(root_ / "dev" / tty, "");  // the kernel's device node
    if (!byId.empty()) std::filesystem::create_symlink("../../" + tty, root_ / "dev/serial/by-id" / byId);
    if (!byPath.empty()) {
      std::filesystem::create_directories(root_ / "dev/serial/by-path");
      std::filesystem::create_symlink("../../" + tty, root_ / "dev/serial/by-path" / byPath);
    }
  }
  // Takes the adapter on `tty` away again, device node and by-id and by-path links included.
  void Unplug(const std::string& tty) {
    std::filesystem::remove_all(root_ / "sys/class/tty" / tty);
    std::filesystem::remove(root_ / "dev" / tty);
    std::vector<std::filesystem::path> links;
    for (const char* folder : {"dev/serial/by-id", "dev/serial/by-path"}) {
      std::error_code none;  // a machine without by-path links
      for (const auto& link : std::filesystem::directory_iterator(root_ / folder, none)) {
        if (std::filesystem::read_symlink(link.path()).filename() == tty) links.push_back(link.path());
      }
    }
    for (const auto& link : links) std::filesystem::remove(link);
  }
  // An on-board ttyS with its UART type (0: unknown, no UART behind it).
  void Uart(const std::string& tty, const std::string& type) {
    std::filesystem::create_directories(root_ / "sys/class/tty" / tty);
    Write(root_ / "sys/class/tty" / tty / "type", type + "\n");
  }

  std::string Dev(const std::string& tty) const { return (root_ / "dev" / tty).string(); }
  std::string Root() const { return root_.string(); }
  std::string NumbersFile() const { return (root_ / "home/.config/ld6193/com-numbers").string(); }
  // The ports of this machine, with the numbers file in its home and the process's environment.
  PortDirectory Ports() const {
    return PortDirectory({Root(), NumbersFile()}, [](const char* name) { return std::getenv(name); });
  }

  static void Write(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file, std::ios::trunc) << text;
  }

 private:
  std::filesystem::path root_;
};

}  // namespace kv::test
