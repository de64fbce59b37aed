// The file front end on real files: opening and refusing (a read error too), the lock held against writers,
// the last-write time in local time, and no descriptor left open on any path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "image/hex_reader.h"
#include "tests/image/hex_test_util.h"
#include "tests/support/reader_host.h"

namespace kv::test {
namespace {

const std::string Good = ":0412340001020304AC\r\n:00000001FF\r\n";
const SystemTime Previous{2001, 2, 3, 4, 5, 6, 7, 8};

int OpenDescriptors() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    count += entry.exists() ? 1 : 0;
  return count;
}

// Sets TZ for one test and puts the old value back.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const std::string& tz)
      : had_(getenv("TZ") != nullptr), old_(had_ ? getenv("TZ") : "") {
    setenv("TZ", tz.c_str(), 1);
    tzset();
  }
  ~ScopedTimeZone() {
    had_ ? setenv("TZ", old_.c_str(), 1) : unsetenv("TZ");
    tzset();
  }

 private:
  bool had_;
  std::string old_;
};

class HexFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kv_hex_file_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fdsBefore_ = OpenDescriptors();
  }
  void TearDown() override {
    EXPECT_EQ(OpenDescriptors(), fdsBefore_) << "a descriptor was left open";
    std::filesystem::remove_all(dir_);
  }

  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  static void SetModified(const std::string& path, time_t seconds, long nanoseconds) {
    const timespec times[2] = {{0, UTIME_OMIT}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
  HexReadResult Read(const std::string& path) {
    return ReadHexFile(path.c_str(), image_, time_, host_, &detail_);
  }
  void ExpectRefused(HexReadResult result) {
    EXPECT_EQ(result, CannotOpen);
    EXPECT_EQ(host_.messages, std::vector<std::string>{std::string(CannotOpenFileMessage)});
    EXPECT_EQ(host_.pumps, 0);
    EXPECT_TRUE(ImageHolds(image_, {}, {}));
    EXPECT_EQ(time_, Previous);
  }

  std::string dir_;
  int fdsBefore_ = 0;
  MemoryImage image_;
  SystemTime time_ = Previous;
  RecordingReaderHost host_;
  HexReadDetail detail_;
};

TEST_F(HexFileTest, ReadsAFileLargerThanOneChunk) {
  const ChunkSpanningFile file = MakeChunkSpanningFile();
  EXPECT_EQ(Read(Write("big.hex", file.text)), ReadComplete);
  EXPECT_TRUE(ImageHolds(image_, file.bytes, file.pages));
  EXPECT_EQ(host_.pumps, file.records);
  EXPECT_EQ(file.records, 2049);
  EXPECT_TRUE(host_.messages.empty());
}

// The bytes handed back are the whole file, read once: what spans chunks, what trails the end record
// (beyond the chunk that held it), and a broken file's too, even when the advice has read it again.
TEST_F(HexFileTest, HandsBackTheWholeFileAsRead) {
  const std::string end = ":00000001FF\r\n";
  const std::string trailer(100 * 1024, 'x');
  const struct {
    std::string text;
    HexReadResult result;
  } rows[] = {
      {MakeChunkSpanningFile().text, ReadComplete},
      {end + trailer, ReadComplete},
      {":0400000001020304F3\r\n" + trailer, InvalidHexFormat},
      {":0400000001020304F2\r\n:020000040800F2\r\n" + trailer, UnsupportedRecordType},
  };
  for (const auto& row : rows) {
    std::vector<uint8_t> bytes{1, 2, 3};  // whatever was there goes
    EXPECT_EQ(ReadHexFile(Write("f.hex", row.text).c_str(), image_, time_, host_, &detail_, &bytes),
              row.result);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), row.text.begin(), row.text.end()));
  }
}

TEST_F(HexFileTest, RefusesWhatCannotBeOpenedAndResetsTheImage) {
  const std::string missing = dir_ + "/missing.hex";
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string unreadable = Write("unreadable.hex", Good);
  ASSERT_EQ(chmod(unreadable.c_str(), 0), 0);
  const bool root = geteuid() == 0;  // root reads it all the same
  const struct {
    std::string path;
    const char* reason;
  } rows[] = {{missing, "no such file or directory"},
              {dir_, "is a directory"},
              {unreadable, "permission denied"},
              // Opens, but its first read fails (nothing is mapped at address 0): an I/O error is no
              // broken file, and the time captured at the open is taken back.
              {"/proc/self/mem", "read error: input/output error"}};
  for (const auto& [path, reason] : rows) {
    if (path == unreadable && root) continue;
    SCOPED_TRACE(path);
    image_.StoreByte(0, 0, 0x00);
    host_ = {};
    ExpectRefused(Read(path));
    EXPECT_EQ(detail_.line, 0u);
    EXPECT_EQ(detail_.text, reason);
  }
  struct stat info;
  EXPECT_EQ(stat(missing.c_str(), &info), -1) << "the missing file was created";
  EXPECT_EQ(errno, ENOENT);
  host_ = {};
  ExpectRefused(ReadHexFile(nullptr, image_, time_, host_));
  // A FIFO without a writer reads as an empty file instead of hanging.
  EXPECT_EQ(Read(fifo), InvalidHexFormat);
}

// Another open file description holding a write lock keeps the reader out; readers may share.
TEST_F(HexFileTest, RefusesAFileWriteLockedByAnotherHolder) {
  const std::string path = Write("locked.hex", Good);
  struct Row {
    int command;
    short type;
    HexReadResult result;
  };
  for (const Row& r : {Row{F_OFD_SETLK, F_WRLCK, CannotOpen}, Row{F_SETLK, F_WRLCK, CannotOpen},
                       Row{F_OFD_SETLK, F_RDLCK, ReadComplete}}) {
    SCOPED_TRACE(testing::Message() << r.command << "/" << r.type);
    const int other = open(path.c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = r.type;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(other, r.command, &lock), 0);
    host_ = {};
    time_ = Previous;
    if (r.result == CannotOpen) {
      ExpectRefused(Read(path));
    } else {
      EXPECT_EQ(Read(path), r.result);
    }
    close(other);
  }
}

// While the load runs, a writer asking for a lock is refused; once it ends, the file is free.
TEST_F(HexFileTest, HoldsTheFileAgainstWritersWhileLoading) {
  const std::string path = Write("held.hex", Good);
  const int writer = open(path.c_str(), O_RDWR);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  std::vector<int> attempts;
  host_.onPump = [&] { attempts.push_back(fcntl(writer, F_OFD_SETLK, &lock) == 0 ? 0 : errno); };
  EXPECT_EQ(Read(path), ReadComplete);
  EXPECT_EQ(attempts, (std::vector<int>{EAGAIN, EAGAIN}));
  EXPECT_EQ(fcntl(writer, F_OFD_SETLK, &lock), 0);
  close(writer);
}

// A load started from inside another's event-loop turn uses its own file and leaves the outer one intact.
TEST_F(HexFileTest, ANestedLoadDoesNotDisturbTheOuterOne) {
  const std::string outer = Write("outer.hex", ":020000021000EC\r\n" + Good);
  const std::string inner = Write("inner.hex", ":02001000AABB89\r\n:00000001FF\r\n");
  MemoryImage innerImage;
  RecordingReaderHost innerHost;
  HexReadResult innerResult = CannotOpen;
  host_.onPump = [&] {
    if (host_.pumps == 1) innerResult = ReadHexFile(inner.c_str(), innerImage, time_, innerHost);
  };
  EXPECT_EQ(Read(outer), ReadComplete);
  EXPECT_EQ(innerResult, ReadComplete);
  EXPECT_TRUE(ImageHolds(image_, {{0x1234, 1}, {0x1235, 2}, {0x1236, 3}, {0x1237, 4}}, {0x112}));
  EXPECT_TRUE(ImageHolds(innerImage, {{0x10, 0xAA}, {0x11, 0xBB}}, {0x000}));
}

// The last-write time in local time, checked against offsets worked out by hand.
TEST_F(HexFileTest, LoadedFileTimeIsTheLocalLastWriteTime) {
  struct Row {
    const char* tz;
    time_t utc;
    long nanoseconds;
    SystemTime local;
  };
  for (const Row& r : {
           Row{"UTC0", 1626391800, 250000000, {2021, 7, 4, 15, 23, 30, 0, 250}},  // 2021-07-15 23:30 UTC
           Row{"<+02>-2", 1626391800, 0, {2021, 7, 5, 16, 1, 30, 0, 0}},
           Row{"<-05>5", 1626391800, 999999999, {2021, 7, 4, 15, 18, 30, 0, 999}},
           Row{"<+0530>-5:30", 1640980800, 0, {2022, 1, 6, 1, 1, 30, 0, 0}},  // 2021-12-31 20:00 UTC
           Row{"<-01>1", 1709253000, 0, {2024, 2, 4, 29, 23, 30, 0, 0}},      // 2024-03-01 00:30 UTC
       }) {
    SCOPED_TRACE(r.tz);
    const ScopedTimeZone zone(r.tz);
    const std::string path = Write("timed.hex", Good);
    SetModified(path, r.utc, r.nanoseconds);
    time_ = Previous;
    EXPECT_EQ(Read(path), ReadComplete);
    EXPECT_EQ(time_, r.local);
  }
}

// Daylight saving as in effect at loading, not at the file's time: a zone that keeps summer time
// (UTC+2) for thirty days around today and winter time (UTC+1) otherwise, and a file half a year old.
TEST_F(HexFileTest, LoadedFileTimeUsesTheOffsetInEffectNow) {
  const time_t now = std::time(nullptr);
  tm today{};
  gmtime_r(&now, &today);
  const int start = (today.tm_yday - 30 + 365) % 365 + 1;
  const int end = (today.tm_yday + 30) % 365 + 1;
  const std::string zone = "WWW-1SSS,J" + std::to_string(start) + "/0,J" + std::to_string(end) + "/0";
  const ScopedTimeZone scoped(zone);
  const time_t modified = (now - 182 * 86400) / 60 * 60;
  const std::string path = Write("old.hex", Good);
  SetModified(path, modified, 0);
  EXPECT_EQ(Read(path), ReadComplete);

  const time_t shifted = modified + 2 * 3600;
  tm expected{};
  gmtime_r(&shifted, &expected);
  EXPECT_EQ(
      time_,
      (SystemTime{static_cast<uint16_t>(expected.tm_year + 1900), static_cast<uint16_t>(expected.tm_mon + 1),
                  static_cast<uint16_t>(expected.tm_wday), static_cast<uint16_t>(expected.tm_mday),
                  static_cast<uint16_t>(expected.tm_hour), static_cast<uint16_t>(expected.tm_min), 0, 0}))
      << zone;
}

}  // namespace
}  // namespace kv::test
