// The POSIX port over a real pseudo-terminal: this test holds the far ("device") end.
#include "line/posix_port.h"
#include "ports/port_names.h"
#include "ports/system_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "line/system_clock.h"
#include "loader/loader_protocol.h"
#include "tests/support/fake_port.h"
#include "tests/support/reader_host.h"

namespace kv::test {
namespace {

using Bytes = std::vector<uint8_t>;
using SteadyClock = std::chrono::steady_clock;

long MsSince(SteadyClock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count());
}

// The device end of a pseudo-terminal; Path() is the line the port opens.
class Pty {
 public:
  Pty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) path_ = ::ptsname(master_);
  }
  ~Pty() { Hangup(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool Ok() const { return master_ >= 0 && !path_.empty(); }
  const std::string& Path() const { return path_; }
  int Master() const { return master_; }

  void Send(const Bytes& bytes) const {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Up to `count` bytes, giving up after `timeoutMs` without one.
  Bytes Receive(size_t count, int timeoutMs = 1000) const {
    Bytes got;
    while (got.size() < count) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) <= 0) break;
      uint8_t buffer[4096];
      const size_t want = std::min(sizeof buffer, count - got.size());
      const ssize_t n = ::read(master_, buffer, want);
      if (n <= 0) break;
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }
  // The far end goes away, as a pulled cable or a killed simulator.
  void Hangup() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  std::string path_;
};

class ScopedEnv {
 public:
  ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    if (value) {
      ::setenv(name_.c_str(), value, 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

size_t OpenDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

class PosixPortTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty.Ok()) << "no pseudo-terminal available"; }

  Pty pty;
  VirtualClock clock;
  PosixPort port{clock};
};

// --- Device names ----------------------------------------------------------------------------------

TEST(PortDirectory, TheEnvironmentWinsOverThePortsPresent) {
  const ScopedEnv com1("LD6193_COM1", "/dev/ttyUSB7");
  const ScopedEnv com11("LD6193_COM11", nullptr);
  EXPECT_EQ(SystemPortDirectory().Resolve(1).device, "/dev/ttyUSB7");
  EXPECT_EQ(DescribePortEntry(SystemPortDirectory().List(1).entries.front()),
            "COM1 \u2014 /dev/ttyUSB7 (LD6193_COM1)");
  EXPECT_NE(SystemPortDirectory().Resolve(11).device, "/dev/ttyUSB7") << "COM1's variable is not COM11's";
}

// The window and the flasher open COMn through SystemPort: a COMn that nothing stands for must be
// named as such, not as a device with an empty name.
TEST(SystemPort, ACOMnThatNothingStandsForIsNamedAsNotFound) {
  ScopedEnv unset("LD6193_COM99", nullptr);
  test::VirtualClock clock;
  SystemPort port(clock);
  EXPECT_EQ(port.OpenPort(99), 1);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.LastOpenError().cause, OpenFailure::NotFound);
  EXPECT_EQ(DescribeOpenError(port.LastOpenError()).rfind("cannot open COM99: no such device", 0), 0u);
}

TEST(DescribeOpenError, NamesTheDeviceTheCauseAndTheFix) {
  const struct {
    OpenError error;
    const char* line;
  } rows[] = {
      {{OpenFailure::NotFound, "/dev/ttyUSB3", "No such file or directory"},
       "cannot open /dev/ttyUSB3: no such device; ld6193-flash --list-ports shows the serial ports present "
       "and what COM1 to COM4 stand for"},
      {{OpenFailure::PermissionDenied, "/dev/ttyUSB0", "Permission denied"},
       "cannot open /dev/ttyUSB0: permission denied; add your user to the dialout group (sudo usermod -aG "
       "dialout $USER), then log out and in again"},
      {{OpenFailure::Busy, "/dev/ttyACM0", "held by ld6193-flash (pid 42)"},
       "cannot open /dev/ttyACM0: busy, held by ld6193-flash (pid 42); close it, or wait for it to finish"},
      {{OpenFailure::Busy, "/dev/ttyACM0", ""},
       "cannot open /dev/ttyACM0: busy, another program holds the line; close it, or wait for it to finish"},
      {{OpenFailure::NotSerial, "/dev/null", "Inappropriate ioctl for device"},
       "cannot open /dev/null: not a serial line; name a serial device; ld6193-flash --list-ports shows the "
       "ones present"},
      {{OpenFailure::Other, "/dev/ttyS0", "Input/output error"},
       "cannot open /dev/ttyS0: Input/output error"},
      // A network line speaks for itself; no advice about local devices.
      {{OpenFailure::Unreachable, "rfc2217://jig7:4001", "cannot reach jig7:4001: connection refused"},
       "cannot reach jig7:4001: connection refused; check the host name, the network and the server"},
      {{OpenFailure::NotSerial, "rfc2217://jig7:4001", "jig7:4001 does not speak RFC 2217"},
       "cannot open rfc2217://jig7:4001: jig7:4001 does not speak RFC 2217"},
  };
  for (const auto& row : rows) EXPECT_EQ(DescribeOpenError(row.error), row.line);
}

// --- Opening ---------------------------------------------------------------------------------------

TEST_F(PosixPortTest, RefusedLinesGiveOneAndLeaveNothingToClose) {
  const std::string file = ::testing::TempDir() + "kv_not_a_line";
  {
    std::FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  const struct {
    std::string path;
    OpenFailure cause;
  } rows[] = {
      {"/nonexistent/ttyS9", OpenFailure::NotFound},
      {"/dev/null", OpenFailure::NotSerial},
      {file, OpenFailure::NotSerial},
      {"/", OpenFailure::NotSerial},
  };
  for (const auto& [path, cause] : rows) {
    const size_t descriptors = OpenDescriptors();
    EXPECT_FALSE(port.OpenDevice(path).Ok()) << path;
    EXPECT_EQ(port.LastOpenError().cause, cause) << path;
    EXPECT_EQ(port.LastOpenError().device, path);
    EXPECT_FALSE(port.IsOpen()) << path;
    EXPECT_EQ(OpenDescriptors(), descriptors) << path << ": descriptor leaked";
    port.ClosePort();
    port.ShutdownPort();
    EXPECT_TRUE(clock.sleeps.empty()) << path << ": no pause when nothing is open";
    EXPECT_FALSE(port.PortFlush());
    const uint8_t byte = 0xA2;
    EXPECT_FALSE(port.PortWrite(&byte, 1));
    EXPECT_EQ(port.PortReadByte().status, ReadStatus::Failure);
  }
  std::remove(file.c_str());
}

TEST_F(PosixPortTest, ComNIsOpenedThroughTheDirectoryNeverByTheDriver) {
  const ScopedEnv com2("LD6193_COM2", pty.Path().c_str());
  EXPECT_EQ(port.OpenPort(2), 1) << "the driver opens device paths only";
  SystemPort system(clock);
  const ScopedEnv missing("LD6193_COM3", "/nonexistent/ttyUSB7");
  EXPECT_EQ(system.OpenPort(3), 1);
  EXPECT_EQ(system.OpenPort(2), 0);
  EXPECT_TRUE(system.IsOpen());
}

// Whether the line carries the exclusive mark, seen through a plain descriptor of our own.
bool MarkedExclusive(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == EBUSY;  // a user other than root is turned away by the mark itself
  int exclusive = 0;
  ::ioctl(fd, TIOCGEXCL, &exclusive);
  ::close(fd);
  return exclusive != 0;
}

TEST_F(PosixPortTest, LineIsHeldExclusivelyAndReleasedByEveryWayOut) {
  ASSERT_TRUE(port.OpenDevice(pty.Path()).Ok());
  EXPECT_TRUE(MarkedExclusive(pty.Path()));
  PosixPort second{clock};
  EXPECT_FALSE(second.OpenDevice(pty.Path()).Ok());
  EXPECT_EQ(second.LastOpenError().cause, OpenFailure::Busy);

  // A pseudo-terminal keeps the mark after its holder closes: each way of letting go must drop it,
  // or the next download could not open the simulator's line.
  port.ClosePort();
  EXPECT_FALSE(MarkedExclusive(pty.Path())) << "after ClosePort";
  ASSERT_TRUE(second.OpenDevice(pty.Path()).Ok());
  second.ShutdownPort();
  EXPECT_FALSE(MarkedExclusive(pty.Path())) << "after ShutdownPort";
  {
    PosixPort scoped{clock};
    ASSERT_TRUE(scoped.OpenDevice(pty.Path()).Ok());
  }
  EXPECT_FALSE(MarkedExclusive(pty.Path())) << "after destruction while open";
  EXPECT_TRUE(port.OpenDevice(pty.Path()).Ok());
}

TEST_F(PosixPortTest, LineLockedByAnotherProgramIsBusyAndLeftAsFound) {
  const int other = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_FALSE(port.OpenDevice(pty.Path()).Ok());
  EXPECT_FALSE(MarkedExclusive(pty.Path()));
  ::close(other);
  EXPECT_TRUE(port.OpenDevice(pty.Path()).Ok());
}

// --- Settings found and put back ----------------------------------------------------------------------

TEST_F(PosixPortTest, ShutdownPausesAndPutsBackTheSettingsFound) {
  // Termios calls on the master act on the line itself.
  termios before{};
  ASSERT_EQ(::tcgetattr(pty.Master(), &before), 0);
  before.c_lflag |= ICANON | ECHO;
  before.c_cc[VMIN] = 1;
  before.c_cc[VTIME] = 0;
  ASSERT_EQ(::tcsetattr(pty.Master(), TCSANOW, &before), 0);
  ASSERT_EQ(::tcgetattr(pty.Master(), &before), 0);

  ASSERT_TRUE(port.OpenDevice(pty.Path()).Ok());
  termios working{};
  ASSERT_EQ(::tcgetattr(pty.Master(), &working), 0);
  EXPECT_EQ(working.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(working.c_cc[VMIN], 0);
  EXPECT_EQ(working.c_cc[VTIME], 1);

  port.ShutdownPort();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(clock.sleeps, (std::vector<uint32_t>{ShutdownPauseMs}));
  termios after{};
  ASSERT_EQ(::tcgetattr(pty.Master(), &after), 0);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cc[VMIN], 1);
  EXPECT_EQ(after.c_cc[VTIME], 0);

  port.ShutdownPort();  // nothing open any more: no second pause
  EXPECT_EQ(clock.sleeps.size(), 1u);
}

TEST_F(PosixPortTest, CloseNeitherPausesNorPutsBack) {
  ASSERT_TRUE(port.OpenDevice(pty.Path()).Ok());
  port.ClosePort();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_TRUE(clock.sleeps.empty());
  termios after{};
  ASSERT_EQ(::tcgetattr(pty.Master(), &after), 0);
  EXPECT_EQ(after.c_cc[VTIME], 1);
}

// --- Bytes both ways ---------------------------------------------------------------------------------

TEST_F(PosixPortTest, EveryByteValuePassesUnchangedBothWays) {
  // Raw mode: no CR/LF translation, no flow-control or signal characters, bit 7 kept.
  ASSERT_TRUE(port.OpenDevice(pty.Path()).Ok());
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);

  ASSERT_TRUE(port.PortWrite(all.data(), all.size()));
  EXPECT_TRUE(port.PortFlush());
  EXPECT_EQ(pty.Receive(all.size()), all);

  pty.Send(all);
  Bytes got;
  for (int i = 0; i < 256; ++i) {
    const ReadResult r = port.PortReadByte();
    ASSERT_EQ(r.status, ReadStatus::Byte) << "byte " << i;
    got.push_back(r.byte);
  }
  EXPECT_EQ(got, all);
}

TEST_F(PosixPortTest, LargeWriteArrivesWholeAndInOrder) {
  ASSERT_TRUE(port.OpenDevice(pty.Path()).Ok());
  Bytes big(256 * 1024);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
  Bytes received;
  std::thread device([&] { received = pty.Receive(big.size(), 2000); });
  EXPECT_TRUE(port.PortWrite(big.data(), big.size()));
  device.join();
  EXPECT_EQ(received, big);
}

TEST_F(PosixPortTest, ReadTakesAWaitingByteAtOnceAndWaitsAbout100msForNone) {
  ASSERT_TRUE(port.OpenDevice(pty.Path()).Ok());
  // The fastest of three reads, so that one stall of a busy machine cannot fail the test; a read
  // that waited out its time-out before taking the byte would never come in under 90 ms.
  long fastest = 1000;
  for (uint8_t value : {0x5A, 0x00, 0xFF}) {
    pty.Send({value});
    const auto start = SteadyClock::now();
    const ReadResult r = port.PortReadByte();
    fastest = std::min(fastest, MsSince(start));
    EXPECT_EQ(r.status, ReadStatus::Byte);
    EXPECT_EQ(r.byte, value);
  }
  EXPECT_LT(fastest, 90);

  const auto start = SteadyClock::now();
  ReadResult r = port.PortReadByte();
  EXPECT_EQ(r.status, ReadStatus::NoByte);
  EXPECT_GE(MsSince(start), 90);
  EXPECT_LT(MsSince(start), 2000);

  // A byte that comes after a read gave up waits for the next read.
  pty.Send({0xE5});
  r = port.PortReadByte();
  EXPECT_EQ(r.status, ReadStatus::Byte);
  EXPECT_EQ(r.byte, 0xE5);
}

TEST_F(PosixPortTest, BytesReceivedBeforeTheOpenOrADiscardAreNeverRead) {
  pty.Send({0x00});  // left on the line by an earlier run
  ASSERT_TRUE(port.OpenDevice(pty.Path()).Ok());
  pty.Send({0xE5});
  ReadResult r = port.PortReadByte();
  EXPECT_EQ(r.status, ReadStatus::Byte);
  EXPECT_EQ(r.byte, 0xE5);

  // One write from the device end arrives together: once its first byte is read, the rest waits.
  pty.Send({0x68, 0x16, 0xAA});
  ASSERT_EQ(port.PortReadByte().byte, 0x68);
  EXPECT_TRUE(port.PortDiscardInput());
  EXPECT_EQ(port.PortReadByte().status, ReadStatus::NoByte);
  port.ClosePort();
  EXPECT_FALSE(port.PortDiscardInput());
}

// --- A line that goes away -------------------------------------------------------------------------

TEST_F(PosixPortTest, HungUpLineFailsAtOnceAndNeverSpins) {
  ASSERT_TRUE(port.OpenDevice(pty.Path()).Ok());
  pty.Hangup();
  const auto start = SteadyClock::now();
  for (int i = 0; i < 20; ++i) ASSERT_EQ(port.PortReadByte().status, ReadStatus::Failure) << "read " << i;
  EXPECT_LT(MsSince(start), 1000) << "twenty reads of a dead line must not each wait out the time-out";
  EXPECT_TRUE(port.LastFault().lineGone) << port.LastFault().words;
  const uint8_t byte = 0xA2;
  EXPECT_FALSE(port.PortWrite(&byte, 1));
  EXPECT_FALSE(port.PortFlush());
  EXPECT_TRUE(port.IsOpen()) << "a failure leaves the port as it was";
  port.ShutdownPort();
  EXPECT_FALSE(port.IsOpen());
}

// The device takes one packet and then goes away before it answers.
void HangUpAfterOnePacket(Pty& pty, size_t packetSize) {
  pty.Receive(packetSize);
  pty.Hangup();
}

TEST_F(PosixPortTest, CommandsOnALineThatHangsUpFailWithinTheirLimits) {
  SystemClock realClock;
  const std::array<uint8_t, PageDataSize> data{};
  RecordingReaderHost host;
  const struct {
    const char* name;
    size_t packetSize;
    long limitMs;  // the command's own longest wait, plus slack for a busy machine
  } rows[] = {
      {"erase", ErasePacketSize, 1200 + 500},
      {"page", PagePacketSize, 200 + 500},
  };
  for (const auto& row : rows) {
    Pty line;
    ASSERT_TRUE(line.Ok());
    PosixPort real{realClock};
    ASSERT_TRUE(real.OpenDevice(line.Path()).Ok());
    LoaderLink link{real, realClock, host};
    std::thread device(HangUpAfterOnePacket, std::ref(line), row.packetSize);
    const auto start = SteadyClock::now();
    const LinkResult result =
        row.packetSize == ErasePacketSize ? link.EraseSector(16) : link.ProgramPage(0x200, data);
    const long elapsed = MsSince(start);
    device.join();
    EXPECT_EQ(result, LinkResult::LinkFailure) << row.name;
    EXPECT_LT(elapsed, row.limitMs) << row.name;
  }
}

TEST_F(PosixPortTest, PageIsProgrammedOverARealLine) {
  SystemClock realClock;
  std::array<uint8_t, PageDataSize> data;
  for (uint32_t i = 0; i < PageDataSize; ++i) data[i] = static_cast<uint8_t>(i);
  RecordingReaderHost host;
  ASSERT_TRUE(port.OpenDevice(pty.Path()).Ok());
  LoaderLink link{port, realClock, host};

  Bytes packet;
  std::thread device([&] {
    packet = pty.Receive(PagePacketSize);
    pty.Send({ReplyAck, ReplyOk});
  });
  EXPECT_EQ(link.ProgramPage(0x234, data), LinkResult::Ok);
  device.join();
  ASSERT_EQ(packet.size(), PagePacketSize);
  EXPECT_EQ(packet[2], 0x34);
  EXPECT_EQ(packet[3], 0x02);
  EXPECT_EQ(packet[4 + 200], 200);
}

}  // namespace
}  // namespace kv::test
