// --list-ports and --forget-port on a fake machine: lines on standard output, the numbers' notice and
// refusals on standard error.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "cli/port_commands.h"
#include "tests/support/fake_tree.h"

namespace kv::test {
namespace {

TEST(PortCommands, ListingsAndFreedNumbersGoToStandardOutputNoticesAndRefusalsToStandardError) {
  FakeTree tree;
  const PortDirectory ports = tree.Ports();
  std::filesystem::create_directories(std::filesystem::path(tree.NumbersFile()).parent_path());
  FakeTree::Write(tree.NumbersFile(), "COM5 usb-a\n");
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(ListPortsTo(ports, out, err), 0);
  EXPECT_EQ(ForgetPortTo(ports, 5, out, err), 0);
  EXPECT_EQ(ForgetPortTo(ports, 5, out, err), 0) << "free already";
  EXPECT_TRUE(
      out.str().ends_with("COM4 \u2014 not present\nCOM5 \u2014 not present, kept for usb-a\n"
                          "COM5 is free: usb-a gets the lowest free number when next seen\n"
                          "COM5 is kept for no adapter\n"))
      << out.str();
  EXPECT_EQ(err.str(), "");

  FakeTree::Write(tree.NumbersFile(), "COM5\n");
  out.str("");
  EXPECT_EQ(ListPortsTo(ports, out, err), 0);
  EXPECT_EQ(out.str().find("cannot"), std::string::npos);
  const std::string notice = err.str();
  EXPECT_EQ(notice.rfind("cannot use the COM numbers in " + tree.NumbersFile(), 0), 0u) << notice;
  err.str("");
  EXPECT_EQ(ForgetPortTo(ports, 5, out, err), 1);
  EXPECT_EQ(err.str().rfind("cannot change " + tree.NumbersFile() + ": line 1: ", 0), 0u) << err.str();
}

}  // namespace
}  // namespace kv::test
