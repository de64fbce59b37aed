// The file front end on real Windows files: opening and refusing, a pipe's end and its read errors, the
// file held against every other opener while it loads, and the last-write time in local time.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "image/hex_reader.h"
#include "tests/image/hex_test_util.h"
#include "tests/support/reader_host.h"

namespace kv::test {
namespace {

const std::string Good = ":0412340001020304AC\r\n:00000001FF\r\n";
const SystemTime Previous{2001, 2, 3, 4, 5, 6, 7, 8};

// 100 ns ticks between 1601-01-01 and 1970-01-01.
constexpr uint64_t UnixEpochTicks = 116444736000000000ull;

FILETIME FileTimeOf(uint64_t ticks) {
  return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// The calendar fields of a UTC time given in ticks, read by the C runtime, not by the platform's
// conversion that the reader uses.
SystemTime FieldsOf(uint64_t ticks) {
  const __time64_t seconds = static_cast<__time64_t>((ticks - UnixEpochTicks) / 10000000);
  tm fields{};
  EXPECT_EQ(_gmtime64_s(&fields, &seconds), 0);
  return {static_cast<uint16_t>(fields.tm_year + 1900), static_cast<uint16_t>(fields.tm_mon + 1),
          static_cast<uint16_t>(fields.tm_wday),        static_cast<uint16_t>(fields.tm_mday),
          static_cast<uint16_t>(fields.tm_hour),        static_cast<uint16_t>(fields.tm_min),
          static_cast<uint16_t>(fields.tm_sec),         static_cast<uint16_t>(ticks / 10000 % 1000)};
}

// Minutes to add to UTC for local time, as in effect now (daylight saving included).
int64_t LocalOffsetMinutesNow() {
  TIME_ZONE_INFORMATION zone{};
  const DWORD which = GetTimeZoneInformation(&zone);
  int64_t bias = zone.Bias;
  if (which == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
  if (which == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
  return -bias;
}

class HexFileWin32Test : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kv_hex_file_" + std::to_string(GetCurrentProcessId()) + "_" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    ASSERT_TRUE(std::filesystem::create_directories(dir_));
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  HexReadResult Read(const std::string& path) { return ReadHexFile(path.c_str(), image_, time_, host_); }
  void ExpectRefused(HexReadResult result) {
    EXPECT_EQ(result, CannotOpen);
    EXPECT_EQ(host_.messages, std::vector<std::string>{std::string(CannotOpenFileMessage)});
    EXPECT_EQ(host_.pumps, 0);
    EXPECT_TRUE(ImageHolds(image_, {}, {}));
    EXPECT_EQ(time_, Previous);
  }
  static HANDLE Open(const std::string& path, DWORD access, DWORD share) {
    return CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
  }

  std::filesystem::path dir_;
  MemoryImage image_;
  SystemTime time_ = Previous;
  RecordingReaderHost host_;
};

TEST_F(HexFileWin32Test, ReadsAFileLargerThanOneChunk) {
  const ChunkSpanningFile file = MakeChunkSpanningFile();
  EXPECT_EQ(Read(Write("big.hex", file.text)), ReadComplete);
  EXPECT_TRUE(ImageHolds(image_, file.bytes, file.pages));
  EXPECT_EQ(host_.pumps, file.records);
  EXPECT_EQ(file.records, 2049);
  EXPECT_TRUE(host_.messages.empty());
}

TEST_F(HexFileWin32Test, RefusesWhatCannotBeOpenedAndResetsTheImage) {
  const std::string missing = (dir_ / "missing.hex").string();
  for (const std::string& path : {missing, dir_.string(), std::string("")}) {
    SCOPED_TRACE(path);
    image_.StoreByte(0, 0, 0x00);
    host_ = {};
    ExpectRefused(Read(path));
  }
  EXPECT_FALSE(std::filesystem::exists(missing)) << "the missing file was created";
  host_ = {};
  ExpectRefused(ReadHexFile(nullptr, image_, time_, host_));
}

// A pipe whose writer closes it has ended, as a file does; one broken off with its data unread is a read
// error, which is no broken file but one that could not be read.
TEST_F(HexFileWin32Test, APipeThatEndsIsNoReadErrorButOneBrokenOffIs) {
  const std::string text = ":0412340001020304AC\r\n";  // no end record: the reader reads to the end
  for (const bool brokenOff : {false, true}) {
    SCOPED_TRACE(brokenOff ? "broken off" : "closed");
    const std::string name = "\\\\.\\pipe\\kv_hex_file_" + std::to_string(GetCurrentProcessId());
    const HANDLE server = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                           64 * 1024, 0, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    std::thread writer([&] {
      ConnectNamedPipe(server, nullptr);  // returns once the reader has opened the pipe
      DWORD written = 0;
      WriteFile(server, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
      if (brokenOff) {
        DisconnectNamedPipe(server);
      } else {
        FlushFileBuffers(server);  // returns once the reader has read it all
      }
      CloseHandle(server);
    });
    HexReadDetail detail;
    const HexReadResult result = ReadHexFile(name.c_str(), image_, time_, host_, &detail);
    writer.join();
    if (brokenOff) {
      EXPECT_EQ(result, CannotOpen);
      EXPECT_TRUE(detail.text.starts_with("read error: ")) << detail.text;
      EXPECT_GT(detail.text.size(), std::string("read error: ").size());
      EXPECT_TRUE(ImageHolds(image_, {}, {}));
    } else {
      EXPECT_EQ(result, InvalidHexFormat);
      EXPECT_EQ(detail.text, "the file ends without an end record (:00000001FF)");
    }
  }
}

// The advice reads the file again from its start, and names it.
TEST_F(HexFileWin32Test, TheAdviceReadsTheFileAgain) {
  const std::string path =
      Write("linear.hex", ":0412340001020304AC\r\n:020000040001F9\r\n:02000000AABB99\r\n");
  HexReadDetail detail;
  EXPECT_EQ(ReadHexFile(path.c_str(), image_, time_, host_, &detail), UnsupportedRecordType);
  EXPECT_NE(detail.text.find("; the data spans 0x01234-0x10001; convert it with: srec_cat "),
            std::string::npos)
      << detail.text;
  EXPECT_NE(detail.text.find(path.substr(0, path.rfind('.')) + "-kv6193.hex"), std::string::npos)
      << detail.text;
}

// Any other handle on the file keeps the reader out, whatever that handle shares.
TEST_F(HexFileWin32Test, RefusesAFileThatIsOpenElsewhere) {
  const std::string path = Write("held.hex", Good);
  struct Row {
    const char* what;
    DWORD access;
    DWORD share;
  };
  for (const Row& r : {Row{"writer sharing reads", GENERIC_WRITE, FILE_SHARE_READ},
                       Row{"reader sharing everything", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE},
                       Row{"exclusive reader", GENERIC_READ, 0}}) {
    SCOPED_TRACE(r.what);
    const HANDLE other = Open(path, r.access, r.share);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    host_ = {};
    ExpectRefused(Read(path));
    CloseHandle(other);
  }
  host_ = {};
  EXPECT_EQ(Read(path), ReadComplete) << "the file is free again";
}

// While the load runs nobody can open the file for writing; once it ends, the file is free.
TEST_F(HexFileWin32Test, HoldsTheFileAgainstWritersWhileLoading) {
  const std::string path = Write("held.hex", Good);
  std::vector<DWORD> attempts;
  host_.onPump = [&] {
    const HANDLE writer = Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    attempts.push_back(writer == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS);
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  };
  EXPECT_EQ(Read(path), ReadComplete);
  EXPECT_EQ(attempts, (std::vector<DWORD>{ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION}));
  const HANDLE after = Open(path, GENERIC_WRITE, 0);
  EXPECT_NE(after, INVALID_HANDLE_VALUE);
  CloseHandle(after);
}

// The last-write time shifted by the offset in effect now, milliseconds kept, across day, month and
// leap-day boundaries.
TEST_F(HexFileWin32Test, LoadedFileTimeIsTheLocalLastWriteTime) {
  const int64_t offsetTicks = LocalOffsetMinutesNow() * 60 * 10000000;
  const uint64_t seconds[] = {
      1626391800,  // 2021-07-15 23:30:00 UTC
      1640995199,  // 2021-12-31 23:59:59 UTC
      1709253000,  // 2024-03-01 00:30:00 UTC
      1110013623,  // 2005-03-05 09:07:03 UTC
  };
  for (const uint64_t utc : seconds) {
    for (const uint64_t extraTicks : {0ull, 2500000ull, 9990000ull}) {
      SCOPED_TRACE(testing::Message() << utc << " + " << extraTicks);
      const uint64_t ticks = UnixEpochTicks + utc * 10000000 + extraTicks;
      const std::string path = Write("timed.hex", Good);
      const HANDLE file = Open(path, FILE_WRITE_ATTRIBUTES, 0);
      ASSERT_NE(file, INVALID_HANDLE_VALUE);
      const FILETIME written = FileTimeOf(ticks);
      ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
      CloseHandle(file);
      time_ = Previous;
      EXPECT_EQ(Read(path), ReadComplete);
      EXPECT_EQ(time_, FieldsOf(static_cast<uint64_t>(static_cast<int64_t>(ticks) + offsetTicks)));
    }
  }
}

}  // namespace
}  // namespace kv::test
