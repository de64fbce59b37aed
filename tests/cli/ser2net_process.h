// Runs ser2net as a child process for end-to-end tests: it exports simulators' terminals on loopback
// TCP ports, over RFC 2217 or raw TCP, with a configuration the test writes. Start returns once every
// port takes connections; Stop ends the server (SIGKILL plays a server that goes away).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace kv::test {

// A loopback TCP port that nobody listens on right now.
int FreeLoopbackPort();

class Ser2netProcess {
 public:
  struct Line {
    std::string ptyPath;
    bool rfc2217 = true;  // else raw TCP
  };

  Ser2netProcess() = default;
  ~Ser2netProcess();  // stops the server if it still runs
  Ser2netProcess(const Ser2netProcess&) = delete;
  Ser2netProcess& operator=(const Ser2netProcess&) = delete;

  // Writes the configuration into `folder`, starts ser2net and waits (up to 5 s) until each line's
  // port accepts connections. False with error() when it could not.
  bool Start(const std::vector<Line>& lines, const std::string& folder);
  // "rfc2217://127.0.0.1:PORT" or "socket://127.0.0.1:PORT" for the i-th line.
  std::string Url(size_t i) const;
  // The same URL with another loopback port in place of the server's (a proxy in front of it).
  std::string UrlThrough(size_t i, int port) const;
  int Port(size_t i) const { return ports_.at(i); }
  const std::string& error() const { return error_; }
  int Stop(int signal);

 private:
  std::vector<Line> lines_;
  std::vector<int> ports_;
  ChildProcess server_;
  std::string error_;
};

}  // namespace kv::test
