#include "sim/options.h"

#include <CLI/CLI.hpp>
#include <limits>
#include <vector>

#include "sim/faults.h"

namespace kv::sim {
namespace {

constexpr const char* FaultHelp =
    "Make the device misbehave: WHAT:HOW[:TIMES], repeatable, first matching rule wins.\n"
    "WHAT: erase=CODE | page=NUMBER (decimal or 0x hex) | finish | any.\n"
    "HOW: error (E5 16) | noack (no reply) | nostatus (E5 only) | badack (00 alone)\n"
    "     | badstatus (E5 00) | late=MS (each reply byte MS ms late, command carried out).\n"
    "TIMES: how many matching packets it hits (default all). Except for late, a hit packet\n"
    "leaves the flash unchanged. Example: --fault page=0x205:error:6";

}  // namespace

ParsedCommandLine ParseSimOptions(int argc, const char* const* argv, SimOptions& options, std::ostream& out,
                                  std::ostream& err) {
  CLI::App app{
      "kv6193-sim: the KV6193 device's resident loader on a pseudo-terminal.\n"
      "Prints the terminal's path as its first line, then serves until SIGINT or SIGTERM."};
  app.name("kv6193-sim");
  app.set_version_flag("--version", "kv6193-sim " KV_VERSION);
  std::vector<std::string> faultTexts;
  uint32_t hangupAfter = 0;
  app.add_option("--link", options.linkPath,
                 "Also make PATH a symbolic link to the terminal (removed on exit)");
  app.add_option("--dump", options.dumpPath,
                 "Write the 524,288-byte flash to FILE after each finish and on exit");
  app.add_option("--flash", options.flashPath, "Start from the flash held in FILE (exactly 524,288 bytes)");
  app.add_option("--trace", options.tracePath,
                 "Log each packet received (> A2 13 4B) and reply byte sent (< E5)");
  app.add_flag("--line-rate", options.device.lineRate, "Pace input and replies as a 115200-baud 8E1 line");
  app.add_option("--erase-ms", options.device.eraseMs, "Time a sector erase takes (default 100)")
      ->check(CLI::Range(0u, 60'000u));
  app.add_option("--fault", faultTexts, FaultHelp)->allow_extra_args(false);
  app.add_option("--hangup-after", hangupAfter,
                 "Close the line on the N-th packet, unanswered, as a pulled cable")
      ->check(CLI::Range(1u, std::numeric_limits<uint32_t>::max()));

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return {false, 0};
  } catch (const CLI::CallForVersion& e) {
    out << e.what() << '\n';
    return {false, 0};
  } catch (const CLI::ParseError& e) {
    err << "kv6193-sim: " << e.what() << "\n\n" << app.help();
    return {false, ExitUsage};
  }

  for (const std::string& text : faultTexts) {
    std::string why;
    const std::optional<FaultRule> rule = ParseFaultRule(text, why);
    if (!rule) {
      err << "kv6193-sim: --fault " << text << ": " << why << "\n\n" << app.help();
      return {false, ExitUsage};
    }
    options.device.faults.push_back(*rule);
  }
  if (hangupAfter > 0) options.device.hangupAfter = hangupAfter;
  return {true, 0};
}

}  // namespace kv::sim
