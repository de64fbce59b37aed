// kv-delay-proxy HOST PORT ROUND_TRIP_MS: a slow network in front of a serial-over-network server,
// for the network benchmark. Prints the loopback port it listens on, then serves until SIGINT or
// SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>

#include "tests/support/delay_proxy.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: kv-delay-proxy HOST PORT ROUND_TRIP_MS\n");
    return 1;
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // the proxy's threads leave them to the wait below
  kv::test::DelayProxy proxy;
  if (!proxy.Start(argv[1], std::atoi(argv[2]), static_cast<uint32_t>(std::atoi(argv[3])))) {
    std::fprintf(stderr, "kv-delay-proxy: %s\n", proxy.error().c_str());
    return 1;
  }
  std::printf("%d\n", proxy.port());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stop, &signal);
  proxy.Stop();
  return 0;
}
