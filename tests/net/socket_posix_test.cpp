// The POSIX socket on real loopback connections: the reasons a connect fails, data both ways, a
// peer that closes, and the time limits.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "net/socket.h"

namespace kv::test {
namespace {

// A loopback listener on a port of the system's choosing.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd_, 1);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = std::to_string(ntohs(address.sin_port));
  }
  ~Listener() { Close(); }
  int Accept() { return accept(fd_, nullptr, nullptr); }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  const std::string& port() const { return port_; }

 private:
  int fd_ = -1;
  std::string port_;
};

TEST(PosixSocket, ConnectFailuresSayWhy) {
  std::string closedPort;
  {
    Listener gone;
    closedPort = gone.port();
  }
  const auto socket = MakeSocket();
  const LineResult refused = socket->Connect("127.0.0.1", closedPort, 3000);
  ASSERT_FALSE(refused.Ok());
  EXPECT_EQ(refused.Fault().words, "connection refused");
  const LineResult unknown = socket->Connect("no-such-host.invalid", "4001", 3000);
  ASSERT_FALSE(unknown.Ok());
  EXPECT_FALSE(unknown.Fault().words.empty());
}

TEST(PosixSocket, CarriesBytesBothWaysAndSeesThePeerClose) {
  Listener listener;
  const auto socket = MakeSocket();
  ASSERT_TRUE(socket->Connect("localhost", listener.port(), 3000).Ok());
  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);

  const uint8_t packet[] = {0xA2, 0xFF, 0x00, 0xFF};
  ASSERT_TRUE(socket->Send(packet, sizeof packet).Ok());
  const LineValue<bool> drained = socket->Drain(1000);
  EXPECT_TRUE(drained.Ok() && drained.Value());
  uint8_t got[8] = {};
  ASSERT_EQ(read(peer, got, sizeof got), 4);
  EXPECT_EQ(got[1], 0xFF);

  uint8_t buffer[16] = {};
  const auto start = std::chrono::steady_clock::now();
  const LineValue<size_t> none = socket->Receive(buffer, sizeof buffer, 100);
  EXPECT_TRUE(none.Ok() && none.Value() == 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));

  ASSERT_EQ(write(peer, "\xE5\x68", 2), 2);
  const LineValue<size_t> reply = socket->Receive(buffer, sizeof buffer, 1000);
  EXPECT_TRUE(reply.Ok() && reply.Value() == 2);
  EXPECT_EQ(buffer[0], 0xE5);

  close(peer);
  const LineValue<size_t> closed = socket->Receive(buffer, sizeof buffer, 1000);
  ASSERT_FALSE(closed.Ok());
  EXPECT_TRUE(closed.Fault().lineGone);
  EXPECT_EQ(closed.Fault().words, "") << "the peer closed it: no system error to quote";
  socket->Close();
  EXPECT_FALSE(socket->Send(packet, sizeof packet).Ok());
  EXPECT_FALSE(socket->Receive(buffer, sizeof buffer, 0).Ok());
}

}  // namespace
}  // namespace kv::test
