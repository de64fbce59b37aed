// The Win32 port on what a Windows machine always has: COMn's device name and its override, the ports
// as the device manager lists them (on a stand-in for its calls), devices that are missing or no serial
// line at all, and the open/close/shutdown states on the NUL device (a character device that swallows
// writes and reads as empty). Talking to a device is checked end to end against the simulator under
// wine.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "line/win32_port.h"
#include "ports/port_names.h"
#include "ports/system_port.h"
#include "ports/win32_port_list.h"
#include "tests/support/fake_port.h"

namespace kv::test {
namespace {

// Sets an environment variable for one test; an empty value removes it.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    _putenv_s(name_, value);
  }
  ~ScopedVariable() { _putenv_s(name_, old_.c_str()); }

 private:
  const char* name_;
  std::string old_;
};

TEST(Win32PortName, ComNIsTheDevicePathUnlessTheEnvironmentNamesAnother) {
  struct Row {
    int n;
    const char* override;  // LD6193_COM<n>; "" for none
    std::string device;
  };
  const Row rows[] = {
      {1, "", "\\\\.\\COM1"},
      {4, "", "\\\\.\\COM4"},
      {10, "", "\\\\.\\COM10"},  // two digits only open in the device-path form
      {255, "", "\\\\.\\COM255"},
      {2, "\\\\.\\COM7", "\\\\.\\COM7"},
      {3, "C:\\lines\\adapter", "C:\\lines\\adapter"},
  };
  for (const Row& row : rows) {
    const std::string variable = "LD6193_COM" + std::to_string(row.n);
    const ScopedVariable scoped(variable.c_str(), row.override);
    EXPECT_EQ(SystemPortDirectory().Resolve(row.n).device, row.device) << row.n << " / " << row.override;
  }
}

// The device manager's list of the Ports class, as a table of devices and their properties.
class FakeDeviceManager : public DeviceManagerCalls {
 public:
  using Device = std::map<Property, std::string>;
  bool ListPortsClass(std::string& why) override {
    why = refusal;
    return refusal.empty();
  }
  bool SelectDevice(unsigned index) override {
    selected = index;
    return index < devices.size();
  }
  std::string Read(Property property) override {
    const auto found = devices.at(selected).find(property);
    return found == devices.at(selected).end() ? std::string() : found->second;
  }
  std::vector<Device> devices;
  std::string refusal;  // why the list cannot be had; empty: it can
  unsigned selected = 0;
};

TEST(Win32PortList, EachComPortWithItsFriendlyNameAndMakerInNumberOrder) {
  using P = DeviceManagerCalls::Property;
  FakeDeviceManager manager;
  manager.devices = {
      {{P::PortName, "COM12"}, {P::FriendlyName, "USB Serial Device (COM12)"}, {P::Maker, "Microsoft"}},
      {{P::PortName, "LPT1"}, {P::FriendlyName, "Printer Port (LPT1)"}},  // the class holds these too
      {{P::PortName, "COM3"},
       {P::FriendlyName, "USB Serial Port (COM3)"},
       {P::Maker, "FTDI"},
       {P::LocationPath, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"}},
      {{P::PortName, "com1"}, {P::Description, "Communications Port"}},  // no friendly name, no maker
      {{P::FriendlyName, "Modem bridge"}},                               // no port name: not a COM port
      {{P::PortName, "COM3"}, {P::FriendlyName, "a second claim"}},      // the first holder keeps it
  };
  const PortSurvey survey = SurveyDeviceManager(manager);
  EXPECT_EQ(survey.notice, "");
  const auto nobody = [](const char*) -> const char* { return nullptr; };
  const std::string rows[] = {
      "COM1 \u2014 Communications Port",
      "COM2 \u2014 \\\\.\\COM2",  // not listed: Windows itself says at open whether it exists
      "COM3 \u2014 USB Serial Port (COM3), FTDI",
      "COM4 \u2014 \\\\.\\COM4",
      "COM12 \u2014 USB Serial Device (COM12), Microsoft",  // beyond COM4 while present
  };
  const std::vector<PortEntry> entries = ListPorts(survey, nobody, 4);
  ASSERT_EQ(entries.size(), std::size(rows));
  for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(DescribePortEntry(entries[i]), rows[i]);
  EXPECT_EQ(ResolvePort(12, survey, nobody).device, "\\\\.\\COM12");
  // Where each is plugged in (none for a port with no location), and the name the station shows.
  const std::string slots[] = {"", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)", ""};
  const std::string adapters[] = {"Communications Port", "USB Serial Port (COM3)",
                                  "USB Serial Device (COM12)"};
  ASSERT_EQ(survey.present.size(), std::size(slots));
  for (size_t i = 0; i < survey.present.size(); ++i) {
    EXPECT_EQ(survey.present[i].slot, slots[i]) << i;
    EXPECT_EQ(survey.present[i].adapter, adapters[i]) << i;
  }

  manager.refusal = "access is denied";
  const PortSurvey refused = SurveyDeviceManager(manager);
  EXPECT_TRUE(refused.present.empty());
  EXPECT_EQ(refused.notice, "Windows did not list its serial ports (access is denied): COMn is \\\\.\\COMn");
  EXPECT_EQ(ResolvePort(3, refused, nobody).device, "\\\\.\\COM3");
}

// The station's sleep on Windows: a serial driver that lists a port (here a stand-in key beside the
// drivers' list) wakes it and is reported, as is a run's end. Where the registry refuses the key
// (Windows without administrator rights), the stand-in cannot be made and only the wake is checked.
TEST(Win32PortChanges, ADriverListingAPortAndARunsEndWakeTheStation) {
  PortChanges changes("");
  EXPECT_TRUE(changes.Changed()) << "the first question";
  EXPECT_FALSE(changes.Changed());
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\kv-test", 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS) {
    const wchar_t port[] = L"COM9";
    ::RegSetValueExW(key, L"\\Device\\kvtest0", 0, REG_SZ, reinterpret_cast<const BYTE*>(port), sizeof port);
    changes.Wait(std::chrono::minutes(5));
    EXPECT_TRUE(changes.Changed()) << "a port listed";
    ::RegCloseKey(key);
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\kv-test");
    changes.Wait(std::chrono::minutes(5));
    EXPECT_TRUE(changes.Changed()) << "the list taken away";
  }
  std::thread ending([&] { changes.Wake(); });
  changes.Wait(std::chrono::minutes(5));
  ending.join();
  EXPECT_FALSE(changes.Changed()) << "woken by a run's end";
}

class Win32PortTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        std::filesystem::temp_directory_path() / ("kv_win32_port_" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Every operation of a port that is not open fails, and closing it does nothing at all.
  void ExpectNotOpen(Win32Port& port) {
    EXPECT_FALSE(port.IsOpen());
    const uint8_t packet[3] = {0xA2, 0x13, 0x4B};
    EXPECT_FALSE(port.PortFlush());
    EXPECT_FALSE(port.PortWrite(packet, sizeof packet));
    EXPECT_EQ(port.PortReadByte().status, ReadStatus::Failure);
    port.ClosePort();
    port.ShutdownPort();
    EXPECT_TRUE(clock_.sleeps.empty()) << "no pause for a port that is not open";
  }

  std::filesystem::path dir_;
  VirtualClock clock_;
};

TEST_F(Win32PortTest, WhatIsNoSerialLineGivesOneAndHoldsNothing) {
  const std::string file = (dir_ / "not-a-line.bin").string();
  std::ofstream(file, std::ios::binary) << "firmware";
  struct Row {
    const char* what;
    std::string path;
    OpenFailure cause;  // None: whatever the system says
  };
  const Row rows[] = {
      {"missing file", (dir_ / "missing").string(), OpenFailure::NotFound},
      {"missing port", "\\\\.\\COM200", OpenFailure::None},
      {"disk file", file, OpenFailure::NotSerial},
      {"folder", dir_.string(), OpenFailure::NotSerial},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Win32Port port(clock_);
    EXPECT_FALSE(port.OpenDevice(row.path).Ok());
    EXPECT_EQ(port.LastOpenError().device, row.path);
    if (row.cause != OpenFailure::None) {
      EXPECT_EQ(port.LastOpenError().cause, row.cause);
    }
    ExpectNotOpen(port);
  }
  // The refused file was neither written nor left open: it opens unshared and holds what it held.
  const HANDLE again =
      CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "firmware");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing")) << "opening never creates";
}

TEST_F(Win32PortTest, OpenPortByNumberFollowsTheOverride) {
  const ScopedVariable scoped("LD6193_COM9", "\\\\.\\NUL");
  SystemPort port(clock_);
  EXPECT_EQ(port.OpenPort(9), 0);
  EXPECT_TRUE(port.IsOpen());
  port.ClosePort();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_TRUE(clock_.sleeps.empty());
}

TEST_F(Win32PortTest, OpenCloseAndShutdownOnACharacterDevice) {
  Win32Port port(clock_);
  ASSERT_TRUE(port.OpenDevice("\\\\.\\NUL").Ok());
  EXPECT_TRUE(port.IsOpen());
  const uint8_t packet[4] = {0xA2, 0x10, 0x00, 0x4E};
  EXPECT_TRUE(port.PortWrite(packet, sizeof packet));
  EXPECT_EQ(port.PortReadByte().status, ReadStatus::NoByte) << "nothing to read is no failure";

  // ShutdownPort: a pause of 250 ms, then closed; a second one does nothing.
  port.ShutdownPort();
  EXPECT_EQ(clock_.sleeps, std::vector<uint32_t>{250});
  clock_.sleeps.clear();
  ExpectNotOpen(port);

  // ClosePort closes without a pause; the port opens again afterwards.
  ASSERT_TRUE(port.OpenDevice("\\\\.\\NUL").Ok());
  port.ClosePort();
  ExpectNotOpen(port);
  ASSERT_TRUE(port.OpenDevice("\\\\.\\NUL").Ok());
  EXPECT_TRUE(port.IsOpen());
}

}  // namespace
}  // namespace kv::test
