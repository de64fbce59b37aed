// The simulator's command line, read in-process.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "sim/options.h"

namespace kv::sim {
namespace {

struct Parsed {
  ParsedCommandLine exit;
  SimOptions options;
  std::string out;
  std::string err;
};

Parsed Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "kv6193-sim");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  Parsed p;
  std::ostringstream out, err;
  p.exit = ParseSimOptions(static_cast<int>(argv.size()), argv.data(), p.options, out, err);
  p.out = out.str();
  p.err = err.str();
  return p;
}

TEST(SimOptions, DefaultsServeAPlainDevice) {
  const Parsed p = Parse({});
  ASSERT_TRUE(p.exit.run);
  EXPECT_EQ(p.options.device.eraseMs, 100u);
  EXPECT_FALSE(p.options.device.lineRate);
  EXPECT_FALSE(p.options.device.hangupAfter);
  EXPECT_TRUE(p.options.device.faults.empty());
  EXPECT_TRUE(p.options.linkPath.empty() && p.options.dumpPath.empty() && p.options.flashPath.empty() &&
              p.options.tracePath.empty());
}

TEST(SimOptions, ReadsEveryOption) {
  const Parsed p = Parse({"--link", "/tmp/com1", "--dump", "d.bin", "--flash", "f.bin", "--trace", "t.txt",
                          "--line-rate", "--erase-ms", "300", "--fault", "page=0x205:error:6", "--fault",
                          "finish:noack", "--hangup-after", "12"});
  ASSERT_TRUE(p.exit.run) << p.err;
  EXPECT_EQ(p.options.linkPath, "/tmp/com1");
  EXPECT_EQ(p.options.dumpPath, "d.bin");
  EXPECT_EQ(p.options.flashPath, "f.bin");
  EXPECT_EQ(p.options.tracePath, "t.txt");
  EXPECT_TRUE(p.options.device.lineRate);
  EXPECT_EQ(p.options.device.eraseMs, 300u);
  EXPECT_EQ(p.options.device.hangupAfter, 12u);
  ASSERT_EQ(p.options.device.faults.size(), 2u);
  EXPECT_EQ(p.options.device.faults[0].number, 0x205);
  EXPECT_EQ(p.options.device.faults[0].timesLeft, 6u);
  EXPECT_EQ(p.options.device.faults[1].target, FaultTarget::Finish);
  EXPECT_EQ(p.options.device.faults[1].kind, FaultKind::NoAck);
}

TEST(SimOptions, BadCommandLinesGiveUsageOnStderrAndCodeTwo) {
  const std::vector<std::vector<std::string>> rows = {
      {"--bogus"},
      {"--erase-ms"},
      {"--erase-ms", "-1"},
      {"--erase-ms", "60001"},
      {"--hangup-after", "0"},
      {"--hangup-after", "x"},
      {"--fault", "page=2048:error"},
      {"--fault", "page=1:error:0"},
      {"--fault"},
      {"--fault", "any:late=x"},
      {"leftover"},
  };
  for (const auto& args : rows) {
    const Parsed p = Parse(args);
    EXPECT_FALSE(p.exit.run) << args[0];
    EXPECT_EQ(p.exit.exitCode, 2) << args[0];
    EXPECT_NE(p.err.find("Usage:"), std::string::npos) << args[0] << "\n" << p.err;
    EXPECT_TRUE(p.out.empty()) << args[0];
  }
}

TEST(SimOptions, HelpGoesToStdoutWithCodeZero) {
  const Parsed p = Parse({"--help"});
  EXPECT_FALSE(p.exit.run);
  EXPECT_EQ(p.exit.exitCode, 0);
  EXPECT_NE(p.out.find("--fault"), std::string::npos);
  EXPECT_TRUE(p.err.empty());
}

TEST(SimOptions, VersionGoesToStdoutWithCodeZero) {
  const Parsed p = Parse({"--version"});
  EXPECT_FALSE(p.exit.run);
  EXPECT_EQ(p.exit.exitCode, 0);
  EXPECT_EQ(p.out, "kv6193-sim 1.1\n");
  EXPECT_TRUE(p.err.empty());
}

}  // namespace
}  // namespace kv::sim
