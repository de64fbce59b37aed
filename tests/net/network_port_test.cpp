// The network ports on a scripted socket and virtual time: RFC 2217 framing (0xFF escaped both ways,
// also when split across reads), the answers to a server's option negotiation, the line set-up at
// open, and the same failure rules as a local line.
#include "net/network_port.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <vector>

#include "loader/loader_protocol.h"
#include "tests/support/fake_port.h"

namespace kv::test {
namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::ElementsAreArray;
using namespace kv::telnet;

// A server's side of the connection: what it sends arrives in the chunks given (a chunk is one
// Receive at most), a closed connection ends the script, and waiting for nothing spends virtual time.
class FakeSocket : public Socket {
 public:
  explicit FakeSocket(VirtualClock& clock) : clock_(clock) {}

  LineResult Connect(const std::string& host, const std::string& service, uint32_t) override {
    connectedTo = host + ":" + service;
    return connectResult;
  }
  LineResult Send(const uint8_t* bytes, size_t count) override {
    if (closed) return ConnectionClosedFault();
    sent.insert(sent.end(), bytes, bytes + count);
    if (onSend) onSend(*this);
    return {};
  }
  LineValue<size_t> Receive(uint8_t* buffer, size_t capacity, uint32_t timeoutMs) override {
    if (incoming.empty()) {
      if (closed) return ConnectionClosedFault();
      clock_.now += timeoutMs;
      return size_t{0};
    }
    if (clock_.now < readyAt) {  // still on its way over the network
      const bool inTime = readyAt - clock_.now <= timeoutMs;
      clock_.now = inTime ? readyAt : clock_.now + timeoutMs;
      if (!inTime) return size_t{0};
    }
    Bytes& chunk = incoming.front();
    const size_t n = std::min(capacity, chunk.size());
    std::copy_n(chunk.begin(), n, buffer);
    chunk.erase(chunk.begin(), chunk.begin() + static_cast<long>(n));
    if (chunk.empty()) incoming.pop_front();
    return n;
  }
  // Each flush takes the next scripted answer (data still waiting spends the whole limit); every
  // byte has left once none is left.
  LineValue<bool> Drain(uint32_t timeoutMs) override {
    if (closed) return ConnectionClosedFault();
    if (drains.empty()) return true;
    const bool left = drains.front();
    drains.pop_front();
    if (!left) clock_.now += timeoutMs;
    return left;
  }
  void Close() override { closed = true; }
  // What is sent from now on arrives `ms` later.
  void DelayAnswers(uint32_t ms) { readyAt = clock_.now + ms; }

  LineResult connectResult;
  std::string connectedTo;
  std::deque<Bytes> incoming;
  Bytes sent;
  bool closed = false;
  std::function<void(FakeSocket&)> onSend;
  uint64_t readyAt = 0;
  std::deque<bool> drains;  // whether the data has left, flush by flush

 private:
  VirtualClock& clock_;
};

Bytes Confirmation(uint8_t command, Bytes value) {
  Bytes bytes = {Iac, Sb, OptionComPort, static_cast<uint8_t>(command + ServerOffset)};
  for (uint8_t b : value) bytes.push_back(b);
  bytes.push_back(Iac);
  bytes.push_back(Se);
  return bytes;
}

// Each line setting confirmed: the baud rate given, 8 data bits, even parity, 1 stop bit.
Bytes Settings(uint32_t baud) {
  Bytes bytes;
  for (const Bytes& b :
       {Confirmation(SetBaudRate, {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
                                   static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)}),
        Confirmation(SetDataSize, {8}), Confirmation(SetParity, {3}), Confirmation(SetStopSize, {1})}) {
    bytes.insert(bytes.end(), b.begin(), b.end());
  }
  return bytes;
}

// What ser2net answers: its own option requests, DO COM-PORT-OPTION, then each setting confirmed.
void PlaySer2net(FakeSocket& socket, uint32_t baud = WantedBaudRate, uint32_t roundTripMs = 0) {
  socket.onSend = [baud, roundTripMs, step = 0](FakeSocket& s) mutable {
    s.DelayAnswers(roundTripMs);
    if (step++ == 0) {
      s.incoming.push_back({Iac, Will, 1, Iac, Do, OptionBinary, Iac, Do, OptionComPort});
      return;
    }
    if (step != 2) return;
    Bytes answers = Confirmation(PurgeData, {3});
    for (uint8_t byte : Settings(baud)) answers.push_back(byte);
    // Whatever the line said before the purge is not a reply to anything.
    answers.push_back('x');
    s.incoming.push_back(answers);
  };
}

// A server that sends `unasked` before it agrees to COM-PORT-OPTION, and `answers` `delayMs` after
// our line settings.
void PlayUnaskedConfirmations(FakeSocket& socket, Bytes unasked, Bytes answers, uint32_t delayMs) {
  socket.onSend = [=, answered = false](FakeSocket& s) mutable {
    if (s.sent.size() == OpeningRequests().size()) {
      s.incoming.push_back(unasked);
      s.incoming.push_back({Iac, Do, OptionComPort});
      return;
    }
    const Bytes setBaud = {Iac, Sb, OptionComPort, SetBaudRate};
    if (answered || std::search(s.sent.begin(), s.sent.end(), setBaud.begin(), setBaud.end()) == s.sent.end())
      return;
    answered = true;
    s.DelayAnswers(delayMs);
    s.incoming.push_back(answers);
  };
}

class NetworkPortTest : public ::testing::Test {
 protected:
  NetworkPortTest() {
    auto socket = std::make_unique<FakeSocket>(clock_);
    socket_ = socket.get();
    port_ = std::make_unique<NetworkPort>(clock_, std::move(socket));
  }
  void OpenRfc2217() {
    PlaySer2net(*socket_);
    ASSERT_TRUE(port_->OpenUrl("rfc2217://jig7:4001").Ok()) << port_->LastOpenError().detail;
    socket_->onSend = nullptr;
    socket_->sent.clear();
  }
  Bytes ReadAll() {
    Bytes got;
    for (ReadResult r = port_->PortReadByte(); r.status == ReadStatus::Byte; r = port_->PortReadByte()) {
      got.push_back(r.byte);
    }
    return got;
  }

  VirtualClock clock_;
  FakeSocket* socket_ = nullptr;
  std::unique_ptr<NetworkPort> port_;
};

TEST(NetworkUrl, ParsesHostAndPortOfBothSchemes) {
  struct Case {
    const char* url;
    bool valid;
    NetworkProtocol protocol;
    const char* host;
    const char* port;
  };
  const Case cases[] = {
      {"rfc2217://jig7:4001", true, NetworkProtocol::Rfc2217, "jig7", "4001"},
      {"socket://10.0.0.5:2000/", true, NetworkProtocol::RawTcp, "10.0.0.5", "2000"},
      {"rfc2217://[::1]:7000", true, NetworkProtocol::Rfc2217, "::1", "7000"},
      {"rfc2217://jig7", false, {}, "", ""},
      {"rfc2217://:4001", false, {}, "", ""},
      {"socket://jig7:0", false, {}, "", ""},
      {"socket://jig7:65536", false, {}, "", ""},
      {"socket://jig7:40x1", false, {}, "", ""},
      {"socket://::1:7000", false, {}, "", ""},
      {"telnet://jig7:23", false, {}, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    const auto address = ParseNetworkUrl(c.url);
    ASSERT_EQ(address.has_value(), c.valid);
    if (!c.valid) continue;
    EXPECT_EQ(address->protocol, c.protocol);
    EXPECT_EQ(address->host, c.host);
    EXPECT_EQ(address->port, c.port);
  }
}

TEST_F(NetworkPortTest, OpenNegotiatesSetsTheLineAndDropsWhatCameBeforeThePurge) {
  PlaySer2net(*socket_);
  ASSERT_TRUE(port_->OpenUrl("rfc2217://jig7:4001").Ok()) << port_->LastOpenError().detail;
  EXPECT_EQ(socket_->connectedTo, "jig7:4001");
  const Bytes& sent = socket_->sent;
  const auto opening = OpeningRequests();
  ASSERT_GE(sent.size(), opening.size());
  EXPECT_TRUE(std::equal(opening.begin(), opening.end(), sent.begin()));
  // ECHO refused after the opening requests; then the settings, 115200 = 00 01 C2 00, parity even,
  // no flow control, and both buffers purged.
  const Bytes tail(sent.begin() + static_cast<long>(opening.size()), sent.end());
  const Bytes expected = {Iac,         Dont, 1,  //
                          Iac,         Sb,   OptionComPort,
                          SetBaudRate, 0x00, 0x01,
                          0xC2,        0x00, Iac,
                          Se,  //
                          Iac,         Sb,   OptionComPort,
                          SetDataSize, 8,    Iac,
                          Se,  //
                          Iac,         Sb,   OptionComPort,
                          SetParity,   3,    Iac,
                          Se,  //
                          Iac,         Sb,   OptionComPort,
                          SetStopSize, 1,    Iac,
                          Se,  //
                          Iac,         Sb,   OptionComPort,
                          SetControl,  1,    Iac,
                          Se,  //
                          Iac,         Sb,   OptionComPort,
                          SetControl,  8,    Iac,
                          Se,  //
                          Iac,         Sb,   OptionComPort,
                          SetControl,  11,   Iac,
                          Se,  //
                          Iac,         Sb,   OptionComPort,
                          PurgeData,   3,    Iac,
                          Se};
  EXPECT_THAT(tail, ElementsAreArray(expected));
  EXPECT_EQ(port_->PortReadByte().status, ReadStatus::NoByte);
}

TEST_F(NetworkPortTest, OpenFailuresNameTheCause) {
  struct Case {
    const char* name;
    std::function<void(FakeSocket&)> server;
    const char* url;
    OpenFailure cause;
    const char* detail;
  };
  const Case cases[] = {
      {"refused", [](FakeSocket& s) { s.connectResult = PortFault{"connection refused"}; },
       "rfc2217://jig7:4001", OpenFailure::Unreachable, "cannot reach jig7:4001: connection refused"},
      {"ipv6 refused", [](FakeSocket& s) { s.connectResult = PortFault{"connection refused"}; },
       "socket://[::1]:9", OpenFailure::Unreachable, "cannot reach [::1]:9: connection refused"},
      {"no RFC 2217",
       [](FakeSocket& s) {
         s.onSend = [](FakeSocket& f) { f.incoming.push_back({Iac, Dont, OptionComPort}); };
       },
       "rfc2217://jig7:4001", OpenFailure::NotSerial,
       "jig7:4001 does not offer RFC 2217 line control; use socket:// for a raw TCP port"},
      {"silent server", [](FakeSocket&) {}, "rfc2217://jig7:4001", OpenFailure::Other,
       "jig7:4001 did not agree to RFC 2217 line control within 3 s"},
      {"wrong baud", [](FakeSocket& s) { PlaySer2net(s, 9600); }, "rfc2217://jig7:4001", OpenFailure::Other,
       "jig7:4001 cannot set the baud rate to 115200 (it reports 9600)"},
      {"too far away",
       [](FakeSocket& s) { PlayUnaskedConfirmations(s, {}, Settings(WantedBaudRate), MaxRoundTripMs + 1); },
       "rfc2217://jig7:4001", OpenFailure::Other,
       "jig7:4001 took 2001 ms to confirm the line settings; a round trip over 2000 ms is too slow for the "
       "device's reply limits"},
      {"closed at once", [](FakeSocket& s) { s.onSend = [](FakeSocket& f) { f.closed = true; }; },
       "rfc2217://jig7:4001", OpenFailure::Unreachable, "jig7:4001 closed the connection"},
      {"bad url", [](FakeSocket&) {}, "rfc2217://jig7", OpenFailure::NotFound,
       "not a network port address; write rfc2217://HOST:PORT or socket://HOST:PORT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualClock clock;
    auto socket = std::make_unique<FakeSocket>(clock);
    c.server(*socket);
    NetworkPort port(clock, std::move(socket));
    const OpenError error = port.OpenUrl(c.url);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(error.cause, c.cause);
    EXPECT_EQ(error.device, c.url);
    EXPECT_EQ(error.detail, c.detail);
    EXPECT_EQ(port.LastOpenError().detail, c.detail);
    EXPECT_LE(clock.now, ConnectTimeoutMs);
  }
}

TEST_F(NetworkPortTest, OnlyConfirmationsAfterOurSettingsAnswerThem) {
  // The steady clock has run since boot: an unasked confirmation must not time the round trip from 0.
  struct Case {
    const char* name;
    Bytes unasked;
    Bytes answers;
  };
  const Bytes stale = Settings(9600);
  const Case cases[] = {
      {"ours, before the option is agreed", Settings(WantedBaudRate), Settings(WantedBaudRate)},
      {"the old ones, before the option is agreed", stale, Settings(WantedBaudRate)},
      {"the old ones, crossing our request",
       {},
       [&] {
         Bytes both = stale;
         const Bytes ours = Settings(WantedBaudRate);
         both.insert(both.end(), ours.begin(), ours.end());
         return both;
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualClock clock;
    clock.now = 3'811'041;
    auto socket = std::make_unique<FakeSocket>(clock);
    PlayUnaskedConfirmations(*socket, c.unasked, c.answers, 150);
    NetworkPort port(clock, std::move(socket));
    ASSERT_TRUE(port.OpenUrl("rfc2217://jig7:4001").Ok()) << port.LastOpenError().detail;
    EXPECT_EQ(port.RoundTripMs(), 150u);
  }
}

TEST_F(NetworkPortTest, DataIsEscapedOnTheWayOutOnlyOverRfc2217) {
  // A page of mostly 0xFF, longer than one escaping chunk, with lone 0xFF between other bytes.
  Bytes page(700, 0xFF);
  page[1] = 0x00;
  page[3] = 0x7F;
  page[600] = Se;
  Bytes escaped;
  for (uint8_t b : page) {
    escaped.push_back(b);
    if (b == 0xFF) escaped.push_back(0xFF);
  }
  OpenRfc2217();
  ASSERT_TRUE(port_->PortWrite(page.data(), page.size()));
  EXPECT_EQ(socket_->sent, escaped);

  auto raw = std::make_unique<FakeSocket>(clock_);
  FakeSocket& rawSocket = *raw;
  NetworkPort rawPort(clock_, std::move(raw));
  ASSERT_TRUE(rawPort.OpenUrl("socket://jig7:4002").Ok());
  ASSERT_TRUE(rawPort.PortWrite(page.data(), page.size()));
  EXPECT_EQ(rawSocket.sent, page);
}

TEST_F(NetworkPortTest, ReceivedDataIsUnescapedWhereverTheReadsSplitIt) {
  OpenRfc2217();
  // 0xFF doubled and split across reads, a command split across reads, a subnegotiation in between.
  socket_->incoming = {{0x06, Iac},
                       {Iac, 0x41, Iac},
                       {241, 0x42, Iac, Sb, OptionComPort, 107, Iac},
                       {Iac, 0x01, Iac, Se, Iac},
                       {Iac}};
  EXPECT_THAT(ReadAll(), ElementsAreArray(Bytes{0x06, 0xFF, 0x41, 0x42, 0xFF}));
  EXPECT_TRUE(socket_->sent.empty());
}

TEST_F(NetworkPortTest, AnswersRefusalsAndChangesOnly) {
  OpenRfc2217();
  struct Case {
    Bytes server;
    Bytes answer;
  };
  const Case cases[] = {
      {{Iac, Will, 1}, {}},                                      // echo: refused at open already
      {{Iac, Do, 24}, {Iac, Wont, 24}},                          // terminal type: not ours
      {{Iac, Wont, 24}, {}},                                     // already off: nothing to say
      {{Iac, Will, OptionBinary}, {}},                           // agreed at open
      {{Iac, Wont, OptionBinary}, {Iac, Dont, OptionBinary}},    // the server stops: acknowledged
      {{Iac, Will, OptionBinary}, {Iac, Do, OptionBinary}},      // and starts again
      {{Iac, Will, OptionComPort}, {Iac, Dont, OptionComPort}},  // the line is ours to control
      // Offered again after each refusal: answered once, else the two sides bounce for ever.
      {{Iac, Will, OptionComPort, Iac, Will, OptionComPort, Iac, Do, 24}, {}},
  };
  for (const Case& c : cases) {
    socket_->sent.clear();
    socket_->incoming.push_back(c.server);
    EXPECT_EQ(port_->PortReadByte().status, ReadStatus::NoByte);
    EXPECT_EQ(socket_->sent, c.answer) << int(c.server[1]) << " " << int(c.server[2]);
  }
}

TEST_F(NetworkPortTest, CommandsAloneAreNoByteWithinTheReadTimeout) {
  OpenRfc2217();
  const uint64_t start = clock_.now;
  socket_->incoming = {{Iac, 241}, {Iac, 241}};
  EXPECT_EQ(port_->PortReadByte().status, ReadStatus::NoByte);
  EXPECT_LE(clock_.now - start, ReadTimeoutMs);
}

TEST_F(NetworkPortTest, DiscardDropsWhatArrivedBeforeIt) {
  OpenRfc2217();
  socket_->incoming = {{0x01, 0x02}, {0x03}};
  ASSERT_EQ(port_->PortReadByte().byte, 0x01);  // 0x02 now waits in the port's buffer
  ASSERT_TRUE(port_->PortDiscardInput());
  socket_->incoming.push_back({0x06});
  EXPECT_THAT(ReadAll(), ElementsAreArray(Bytes{0x06}));
}

TEST_F(NetworkPortTest, ADroppedConnectionFailsAtOnceAndForGood) {
  OpenRfc2217();
  socket_->incoming = {{0x06}};
  socket_->closed = true;  // the byte sent before the close still arrives
  EXPECT_EQ(port_->PortReadByte().byte, 0x06);
  const uint64_t start = clock_.now;
  EXPECT_EQ(port_->PortReadByte().status, ReadStatus::Failure);
  EXPECT_EQ(clock_.now, start);
  EXPECT_FALSE(port_->IsOpen());
  EXPECT_EQ(port_->LastFault().words, "jig7:4001 closed the connection");
  EXPECT_TRUE(port_->LastFault().lineGone);
  const uint8_t packet[] = {0x10, 0x20};
  EXPECT_FALSE(port_->PortWrite(packet, sizeof packet));
  EXPECT_FALSE(port_->PortFlush());
  EXPECT_FALSE(port_->PortDiscardInput());
  EXPECT_EQ(port_->PortReadByte().status, ReadStatus::Failure);
  EXPECT_TRUE(port_->LastFault().lineGone) << "the cause stays with the line that went away";
}

TEST_F(NetworkPortTest, DataStuckOnTheWayOutIsNoLineGoneAndNothingIsSentBehindIt) {
  OpenRfc2217();
  const uint8_t packet[] = {0xA2, 0x10, 0x00, 0x4E};
  const Bytes once(std::begin(packet), std::end(packet));
  ASSERT_TRUE(port_->PortWrite(packet, sizeof packet));
  // The server takes no more: the flush gives up, the line stays open, and the fault names the server.
  socket_->drains = {false, false};
  EXPECT_FALSE(port_->PortFlush());
  EXPECT_TRUE(port_->IsOpen());
  EXPECT_EQ(port_->LastFault().words, "jig7:4001: the data did not leave within 3 s");
  EXPECT_FALSE(port_->LastFault().lineGone);
  CommandFault fault{.fault = ReplyFault::PortFailed, .port = port_->LastFault()};
  EXPECT_EQ(HintFor(fault), "check that jig7:4001 is reachable and its serial server runs");
  // A repeat is refused while the first packet still waits, and once it has gone, once more: its
  // reply is due first.
  EXPECT_FALSE(port_->PortWrite(packet, sizeof packet));
  EXPECT_FALSE(port_->PortFlush());
  EXPECT_EQ(port_->LastFault().words,
            "jig7:4001: the earlier data left only now, so nothing is sent behind it yet");
  EXPECT_EQ(socket_->sent, once);
  ASSERT_TRUE(port_->PortWrite(packet, sizeof packet));
  EXPECT_TRUE(port_->PortFlush());
  EXPECT_EQ(socket_->sent.size(), 2 * once.size());
}

TEST_F(NetworkPortTest, TheRoundTripIsTheQuickestAnswerAtOpenOrForRawTcpTheQuickestAcknowledge) {
  // RFC 2217: the server answers the option and line-setting requests, each a round trip.
  PlaySer2net(*socket_, WantedBaudRate, 120);
  ASSERT_TRUE(port_->OpenUrl("rfc2217://jig7:4001").Ok()) << port_->LastOpenError().detail;
  EXPECT_EQ(port_->RoundTripMs(), 120u);
  EXPECT_FALSE(port_->LearnsRoundTrip());
  port_->NoteAcknowledgeDelay(400);
  EXPECT_EQ(port_->RoundTripMs(), 120u);

  // Raw TCP: nothing but the device answers; its quickest acknowledge sets the round trip.
  socket_->onSend = nullptr;
  ASSERT_TRUE(port_->OpenUrl("socket://jig7:4002").Ok());
  EXPECT_TRUE(port_->LearnsRoundTrip());
  EXPECT_EQ(port_->RoundTripMs(), 0u);
  for (uint32_t delay : {250u, 180u, 300u}) port_->NoteAcknowledgeDelay(delay);
  EXPECT_EQ(port_->RoundTripMs(), 180u);
}

}  // namespace
}  // namespace kv::test
