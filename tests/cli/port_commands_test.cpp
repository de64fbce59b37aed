// --list-ports and --forget-port on a fake machine, and the one notice of a run whose COM numbers
// cannot be kept.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>

#include "cli/port_commands.h"
#include "tests/support/fake_tree.h"

namespace kv::test {
namespace {

constexpr const char* Adapter = "usb-FTDI_FT232R_A9-if00-port0";

struct Captured {
  int code;
  std::string out;
  std::string err;
};

template <typename Command>
Captured Capture(Command command) {
  std::ostringstream out;
  std::ostringstream err;
  const int code = command(out, err);
  return {code, out.str(), err.str()};
}

TEST(PortCommands, ListShowsAbsentAdaptersAndForgetFreesTheirNumbers) {
  FakeTree tree;
  const PortDirectory ports = tree.Ports();
  const auto list = [&](std::ostream& out, std::ostream& err) { return ListPortsTo(ports, out, err); };
  const auto forget = [&](std::ostream& out, std::ostream& err) { return ForgetPortTo(ports, 5, out, err); };
  tree.Adapter("ttyUSB0", "1-1", "FTDI", "FT232R", Adapter);
  std::filesystem::create_directories(std::filesystem::path(tree.NumbersFile()).parent_path());
  FakeTree::Write(tree.NumbersFile(), std::string("COM5 ") + Adapter + "\n");
  tree.Unplug("ttyUSB0");

  const struct {
    const char* what;
    std::function<int(std::ostream&, std::ostream&)> command;
    Captured expected;
  } steps[] = {
      {"list",
       list,
       {0,
        "COM1 \u2014 not present\nCOM2 \u2014 not present\nCOM3 \u2014 not present\n"
        "COM4 \u2014 not present\nCOM5 \u2014 not present, kept for " +
            std::string(Adapter) + "\n",
        ""}},
      {"forget",
       forget,
       {0, "COM5 is free: " + std::string(Adapter) + " gets the lowest free number when next seen\n", ""}},
      {"forget again", forget, {0, "COM5 is kept for no adapter\n", ""}},
      {"list again",
       list,
       {0,
        "COM1 \u2014 not present\nCOM2 \u2014 not present\nCOM3 \u2014 not present\nCOM4 \u2014 not "
        "present\n",
        ""}},
  };
  for (const auto& step : steps) {
    const Captured run = Capture(step.command);
    EXPECT_EQ(run.code, step.expected.code) << step.what;
    EXPECT_EQ(run.out, step.expected.out) << step.what;
    EXPECT_EQ(run.err, step.expected.err) << step.what;
  }

  // A file that cannot be used: the list still comes, the notice goes to standard error, and forget
  // refuses to touch the file.
  FakeTree::Write(tree.NumbersFile(), "COM5\n");
  const Captured listed = Capture(list);
  EXPECT_EQ(listed.code, 0);
  EXPECT_EQ(listed.out.rfind("COM1 \u2014 not present\n", 0), 0u);
  EXPECT_EQ(listed.err, "cannot use the COM numbers in " + tree.NumbersFile() +
                            " (line 1: \"COM5\" is not \"COMn NAME\"): until it is mended, COMn is the n-th "
                            "serial port found\n");
  const Captured refused = Capture(forget);
  EXPECT_EQ(refused.code, 1);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err.rfind("cannot change " + tree.NumbersFile() + ": line 1: ", 0), 0u) << refused.err;

  // A run says so once, before it opens a port by number; a run on device paths alone has no use for it.
  FlashOptions byNumber;
  byNumber.devices = {TargetForPort(1), TargetForPort(2)};
  FlashOptions byPath;
  byPath.devices = {TargetForDevice("/dev/ttyUSB0")};
  std::ostringstream told;
  TellNumbersNotice(ports, byPath, told);
  EXPECT_EQ(told.str(), "");
  TellNumbersNotice(ports, byNumber, told);
  EXPECT_EQ(told.str(), listed.err);
}

}  // namespace
}  // namespace kv::test
