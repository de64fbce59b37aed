#include "tests/cli/ser2net_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

namespace kv::test {
namespace {

constexpr auto StartLimit = std::chrono::seconds(5);
constexpr auto ProbeInterval = std::chrono::milliseconds(10);

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

bool Listening(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  const bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

}  // namespace

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  int port = -1;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

Ser2netProcess::~Ser2netProcess() {
  Stop(SIGTERM);
}

bool Ser2netProcess::Start(const std::vector<Line>& lines, const std::string& folder) {
  lines_ = lines;
  const std::string config = folder + "/ser2net.yaml";
  std::ofstream out(config);
  for (size_t i = 0; i < lines.size(); ++i) {
    ports_.push_back(FreeLoopbackPort());
    out << "connection: &line" << i << "\n"
        << "  accepter: " << (lines[i].rfc2217 ? "telnet(rfc2217),tcp" : "tcp") << ",127.0.0.1," << ports_[i]
        << "\n"
        << "  connector: serialdev," << lines[i].ptyPath << ",115200e81,local\n";
  }
  out.close();
  const std::string pidFile = folder + "/ser2net.pid";
  ChildOptions options;
  options.stdoutTo = options.stderrTo = Sink::LogFile;
  options.logFile = folder + "/ser2net.log";
  if (!server_.Start({"ser2net", "-n", "-d", "-c", config, "-P", pidFile}, options)) {
    error_ = server_.error();
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + StartLimit;
  for (size_t i = 0; i < ports_.size(); ++i) {
    while (!Listening(ports_[i])) {
      if (server_.Exited()) {
        error_ = "ser2net ended at once (exit " + std::to_string(server_.exitCode()) +
                 "; 127: not installed, see scripts/deps.sh); its output is in " + options.logFile;
        return false;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        error_ = "ser2net did not listen on port " + std::to_string(ports_[i]) + " within 5 s";
        return false;
      }
      std::this_thread::sleep_for(ProbeInterval);
    }
  }
  return true;
}

std::string Ser2netProcess::Url(size_t i) const {
  return UrlThrough(i, ports_.at(i));
}

std::string Ser2netProcess::UrlThrough(size_t i, int port) const {
  return std::string(lines_.at(i).rfc2217 ? "rfc2217://" : "socket://") + "127.0.0.1:" + std::to_string(port);
}

int Ser2netProcess::Stop(int signal) {
  return server_.running() ? server_.Stop(signal) : -1;
}

}  // namespace kv::test
