// --list-ports and --forget-port on a fake machine, and the one notice of a run whose COM numbers
// cannot be kept.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "cli/port_commands.h"
#include "tests/support/fake_tree.h"

namespace kv::test {
namespace {

TEST(PortCommands, AbsentAdaptersAreListedForgetFreesThemAndNoticesGoToStandardError) {
  const std::string adapter = "usb-FTDI_FT232R_A9-if00-port0";
  FakeTree tree;
  const PortDirectory ports = tree.Ports();
  tree.Adapter("ttyUSB0", "1-1", "FTDI", "FT232R", adapter);
  std::filesystem::create_directories(std::filesystem::path(tree.NumbersFile()).parent_path());
  FakeTree::Write(tree.NumbersFile(), "COM5 " + adapter + "\n");
  tree.Unplug("ttyUSB0");

  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(ListPortsTo(ports, out, err), 0);
  EXPECT_EQ(ForgetPortTo(ports, 5, out, err), 0);
  EXPECT_EQ(ForgetPortTo(ports, 5, out, err), 0) << "free already";
  EXPECT_EQ(out.str(),
            "COM1 \u2014 not present\nCOM2 \u2014 not present\nCOM3 \u2014 not present\n"
            "COM4 \u2014 not present\nCOM5 \u2014 not present, kept for " +
                adapter + "\n" + "COM5 is free: " + adapter +
                " gets the lowest free number when next seen\n" + "COM5 is kept for no adapter\n");
  EXPECT_EQ(err.str(), "");

  // A file that cannot be used: the list still comes with the notice on standard error, forget leaves
  // the file alone, and a run says so once, before it opens a port by number.
  FakeTree::Write(tree.NumbersFile(), "COM5\n");
  const std::string notice = "cannot use the COM numbers in " + tree.NumbersFile() +
                             " (line 1: \"COM5\" is not \"COMn NAME\"): until it is mended, COMn is the "
                             "n-th serial port found\n";
  out.str("");
  err.str("");
  EXPECT_EQ(ListPortsTo(ports, out, err), 0);
  EXPECT_EQ(out.str().rfind("COM1 \u2014 not present\n", 0), 0u);
  EXPECT_EQ(err.str(), notice);
  err.str("");
  EXPECT_EQ(ForgetPortTo(ports, 5, out, err), 1);
  EXPECT_EQ(err.str().rfind("cannot change " + tree.NumbersFile() + ": line 1: ", 0), 0u) << err.str();

  FlashOptions options;
  options.devices = {TargetForDevice("/dev/ttyUSB0")};
  err.str("");
  TellNumbersNotice(ports, options, err);
  EXPECT_EQ(err.str(), "") << "no port by number";
  options.devices.push_back(TargetForPort(1));
  options.devices.push_back(TargetForPort(2));
  TellNumbersNotice(ports, options, err);
  EXPECT_EQ(err.str(), notice);
}

}  // namespace
}  // namespace kv::test
