// kv6193-sim: the KV6193 device's resident loader on a pseudo-terminal. Prints the terminal's path as
// the first line of standard output, then serves until SIGINT or SIGTERM and exits 0.
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "sim/options.h"
#include "sim/pty_server.h"

namespace {

kv::sim::PtyServer* runningServer = nullptr;

extern "C" void OnStopSignal(int) {
  if (runningServer) runningServer->Stop();
}

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
  kv::sim::SimOptions options;
  const kv::sim::ParsedCommandLine parsed =
      kv::sim::ParseSimOptions(argc, argv, options, std::cout, std::cerr);
  if (!parsed.run) return parsed.exitCode;
  kv::sim::PtyServer server(options);
  std::string why;
  if (!server.Open(why)) {
    std::cerr << "kv6193-sim: " << why << std::endl;
    return kv::sim::ExitFailure;
  }
  runningServer = &server;
  CatchStopSignals();
  std::printf("%s\n", server.SlavePath().c_str());
  std::fflush(stdout);
  server.Run();
  runningServer = nullptr;
  return 0;
}
