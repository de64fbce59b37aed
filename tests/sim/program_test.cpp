// The real kv6193-sim program, started as a child process and spoken to over its terminal.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/sim_pty_io.h"
#include "tests/support/sim_process.h"

namespace kv::test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t FlashBytes = 524288;

class Terminal {
 public:
  explicit Terminal(const std::string& path) : fd_(OpenRawTerminal(path)) {}
  ~Terminal() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  // Sends a packet and collects up to `replies` bytes within `timeoutMs`.
  Bytes Ask(const Bytes& packet, size_t replies, int timeoutMs = 1000) {
    if (!WriteBytes(fd_, packet)) return {};
    return ReadBytes(fd_, replies, timeoutMs);
  }

 private:
  int fd_;
};

TEST(SimProgram, ServesEraseProgramAndFinishThenDumpsTracesAndCleansUp) {
  ScratchDir dir;
  const std::string dump = dir.Path("flash.bin"), trace = dir.Path("trace.txt"), link = dir.Path("com1");
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--dump", dump, "--trace", trace, "--link", link, "--erase-ms", "20"}))
      << sim.error();
  ASSERT_EQ(sim.ptyPath().rfind("/dev/pts/", 0), 0u) << sim.ptyPath();

  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), sim.ptyPath());

  Terminal line(link);
  ASSERT_TRUE(line.ok());
  EXPECT_EQ(line.Ask(ErasePacketFor(0), 2), (Bytes{0xE5, 0x68}));
  EXPECT_EQ(line.Ask(PagePacketFor(0x001, Bytes(256, 0x5A)), 2), (Bytes{0xE5, 0x68}));
  // 0x5A cannot become 0xA5 without raising bits: the device refuses, keeping 0x5A & 0xA5.
  EXPECT_EQ(line.Ask(PagePacketFor(0x001, Bytes(256, 0xA5)), 2), (Bytes{0xE5, 0x16}));

  ASSERT_EQ(line.Ask(FinishPacketBytes(), 2, 200), (Bytes{0xE5}));
  // The dump is on disk before the acknowledge of finish leaves the device.
  Bytes flash = ReadWholeFile(dump);
  ASSERT_EQ(flash.size(), FlashBytes);
  EXPECT_EQ(flash[0x0FF], 0xFF);
  EXPECT_EQ(flash[0x100], 0x00);
  EXPECT_EQ(flash[0x1FF], 0x00);
  EXPECT_EQ(flash[0x200], 0xFF);

  EXPECT_EQ(sim.Stop(), 0);
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "the --link symlink outlived the simulator";

  const std::string text = ReadTextFile(trace);
  std::string page1 = "> A2 11 01 00";
  for (int i = 0; i < 256; ++i) page1 += " 5A";
  EXPECT_NE(text.find("> A2 10 00 4E\n< E5\n< 68\n" + page1), std::string::npos) << text;
  EXPECT_NE(text.find("> A2 13 4B\n< E5\n"), std::string::npos) << text;
}

TEST(SimProgram, StopsCleanlyOnSigintAndDumpsOnExit) {
  ScratchDir dir;
  const std::string start = dir.Path("start.bin"), dump = dir.Path("dump.bin");
  Bytes image(FlashBytes);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
  std::ofstream(start, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());

  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--flash", start, "--dump", dump})) << sim.error();
  EXPECT_EQ(sim.StopWith(SIGINT), 0);
  EXPECT_EQ(ReadWholeFile(dump), image);
}

TEST(SimProgram, RefusesBadCommandLinesWithCodeTwoAndBadFlashFilesWithCodeOne) {
  ScratchDir dir;
  const std::string shortFile = dir.Path("short.bin");
  std::ofstream(shortFile, std::ios::binary) << std::string(FlashBytes - 1, '\xFF');

  struct Row {
    std::vector<std::string> args;
    int code;
  };
  const Row rows[] = {
      {{"--no-such-option"}, 2},
      {{"--erase-ms", "soon"}, 2},
      {{"--fault", "page=0x800:error"}, 2},
      {{"--fault", "sector=3:error"}, 2},
      {{"--fault", "any:explode"}, 2},
      {{"--hangup-after", "0"}, 2},
      {{"stray-argument"}, 2},
      {{"--flash", shortFile}, 1},
      {{"--flash", dir.Path("missing.bin")}, 1},
  };
  for (const Row& row : rows) {
    SimProcess sim;
    EXPECT_FALSE(sim.Start(row.args));
    EXPECT_EQ(sim.exitCode(), row.code) << row.args[0];
  }
}

TEST(SimProgram, KeepsTheLineUpWhileTheHostClosesAndReopensIt) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--erase-ms", "0"})) << sim.error();
  for (int session = 0; session < 3; ++session) {
    Terminal line(sim.ptyPath());
    ASSERT_TRUE(line.ok());
    EXPECT_EQ(line.Ask(ErasePacketFor(62), 2), (Bytes{0xE5, 0x68})) << "session " << session;
  }
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(SimProgram, HangsUpOnTheNthPacketWithoutAnsweringIt) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--hangup-after", "2", "--erase-ms", "0"})) << sim.error();
  Terminal line(sim.ptyPath());
  ASSERT_TRUE(line.ok());
  EXPECT_EQ(line.Ask(ErasePacketFor(8), 2), (Bytes{0xE5, 0x68}));
  EXPECT_EQ(line.Ask(ErasePacketFor(8), 2, 300), Bytes{});
  EXPECT_EQ(sim.Stop(), 0);
}

// Whether the line carries an exclusive mark. Without root an open of a marked line is refused,
// which says the same.
bool MarkedExclusive(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY;
  int exclusive = 0;
  const bool marked = ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
  close(fd);
  return marked;
}

// Takes the line as a host does: lock (unless told not to), then exclusive mark.
int TakeLine(const std::string& path, bool lock = true) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 || (lock && flock(fd, LOCK_EX | LOCK_NB) != 0) || ioctl(fd, TIOCEXCL) != 0) return -1;
  return fd;
}

TEST(SimProgram, FreesTheLineOfAHostThatDiedHoldingItButNotOfALiveOne) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({})) << sim.error();

  // A live holder keeps its mark, whether it locked the line or only marked it. (The simulator looks
  // every 250 ms.)
  for (const bool lock : {true, false}) {
    const int held = TakeLine(sim.ptyPath(), lock);
    ASSERT_GE(held, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    int exclusive = 0;
    EXPECT_EQ(ioctl(held, TIOCGEXCL, &exclusive), 0);
    EXPECT_NE(exclusive, 0) << (lock ? "locked" : "marked only");
    ioctl(held, TIOCNXCL);
    close(held);
  }

  // A host killed while holding the line cannot clear its mark; the device side does, soon.
  const pid_t host = fork();
  if (host == 0) {
    if (TakeLine(sim.ptyPath()) >= 0) raise(SIGKILL);
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(host, &status, 0), host);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the stand-in host could not take the line";
  bool freed = false;
  for (int i = 0; i < 40 && !freed; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    freed = !MarkedExclusive(sim.ptyPath());
  }
  EXPECT_TRUE(freed);
  EXPECT_EQ(sim.Stop(), 0);
}

}  // namespace
}  // namespace kv::test
