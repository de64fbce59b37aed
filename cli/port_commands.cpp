#include "cli/port_commands.h"

#include <ostream>

#include "station/exit_codes.h"

namespace kv {

int ListPortsTo(const PortDirectory& ports, std::ostream& out, std::ostream& err) {
  const PortListing listing = ports.List(4);
  for (const PortEntry& entry : listing.entries) out << DescribePortEntry(entry) << '\n';
  out.flush();
  if (!listing.notice.empty()) err << listing.notice << std::endl;
  return ExitSuccess;
}

int ForgetPortTo(const PortDirectory& ports, int n, std::ostream& out, std::ostream& err) {
  const ForgetResult result = ports.Forget(n);
  (result.outcome == ForgetOutcome::Failed ? err : out) << result.text << std::endl;
  return result.outcome == ForgetOutcome::Failed ? ExitUsage : ExitSuccess;
}

}  // namespace kv
