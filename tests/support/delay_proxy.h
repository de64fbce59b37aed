// A TCP proxy on loopback that holds everything it carries for half a round trip in each direction,
// as a slow network between the flasher and a serial-over-network server would. Like an SSH tunnel,
// it ends TCP itself: a connect to it completes at once, and only the data crosses the "network".
//
//   DelayProxy proxy;
//   if (!proxy.Start("127.0.0.1", server_port, 300)) FAIL() << proxy.error();
//   ... "socket://127.0.0.1:" + std::to_string(proxy.port()) ...
#pragma once

#if !defined(_WIN32)

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kv::test {

class DelayProxy {
 public:
  DelayProxy() = default;
  ~DelayProxy();  // stops the proxy if it still runs
  DelayProxy(const DelayProxy&) = delete;
  DelayProxy& operator=(const DelayProxy&) = delete;

  // Listens on a free loopback port and forwards each connection to host:port. False with error().
  bool Start(const std::string& host, int port, uint32_t roundTripMs);
  int port() const { return port_; }
  const std::string& error() const { return error_; }
  // Closes every connection and the listener.
  void Stop();

 private:
  void Accept();
  void Pump(int from, int to);

  std::string host_;
  int upstreamPort_ = 0;
  uint32_t oneWayMs_ = 0;
  int listener_ = -1;
  int port_ = 0;
  std::string error_;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex lock_;
  std::vector<std::thread> pumps_;
  std::vector<int> sockets_;
};

}  // namespace kv::test

#endif
