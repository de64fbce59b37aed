// The port setting file: what a read and a write do to the destination, to the file and to the user,
// for every state the file can be found in.
#include "ui/port_setting.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/ui/work_dir.h"

namespace kv::test {
namespace {

class MessageRecorder : public MessageSink {
 public:
  void ShowMessage(std::string_view text) override { shown.emplace_back(text); }
  std::vector<std::string> shown;
};

constexpr const char* Name = PortSettingFileName;
const std::string OpenMessage(CannotOpenSettingMessage);
const std::string WriteMessage(CannotWriteSettingMessage);

// Holds the file the way another copy of the program would while it reads or writes it.
class OtherHolder {
 public:
  explicit OtherHolder(const char* name) : fd_(open(name, O_RDWR | O_CREAT, 0644)) {
    if (fd_ < 0 || flock(fd_, LOCK_EX | LOCK_NB) != 0) ADD_FAILURE() << "could not hold " << name;
  }
  ~OtherHolder() { close(fd_); }

 private:
  int fd_;
};

// Makes the working directory one in which no file can be created: a read-only folder for a normal
// user; for root, who ignores permission bits, a kernel file system that refuses new files.
bool EnterUnwritableFolder(const TempWorkDir& dir) {
  if (geteuid() != 0) {
    chmod(dir.Path().c_str(), 0555);
  } else {
    std::filesystem::current_path("/proc");
  }
  return CannotCreateIn(std::filesystem::current_path());
}

TEST(PortSettingTest, MessagesAreTheCzechTextsEndingInABlank) {
  EXPECT_EQ(OpenMessage, "Nelze otev\xC5\x99\xC3\xADt soubor ");
  EXPECT_EQ(WriteMessage, "Nelze zapsat do souboru ");
}

struct ReadCase {
  const char* what;
  std::optional<Bytes> content;  // nullopt: no file
  int result;
  int destination;  // starts as a value with bits in every byte
  Bytes fileAfter;
};
void PrintTo(const ReadCase& c, std::ostream* os) {
  *os << c.what;
}

class ReadPortSettingTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadPortSettingTest, FillsDestinationOnlyFromAFirstByte) {
  const ReadCase& c = GetParam();
  TempWorkDir dir;
  if (c.content) WriteFile(Name, *c.content);
  MessageRecorder messages;
  int destination = 0x7A5A5A5A;

  EXPECT_EQ(ReadPortSetting(Name, destination, messages), c.result);
  EXPECT_EQ(destination, c.destination);
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_EQ(ReadFile(Name), c.fileAfter) << "a read never changes the file, except to create it";
}

INSTANTIATE_TEST_SUITE_P(
    FileStates, ReadPortSettingTest,
    ::testing::Values(ReadCase{"missing_created_empty", std::nullopt, 1, 0x7A5A5A5A, {}},
                      ReadCase{"empty", Bytes{}, 1, 0x7A5A5A5A, {}},
                      ReadCase{"port3", Bytes{0x03}, 0, 3, {0x03}},
                      ReadCase{"port5", Bytes{0x05}, 0, 5, {0x05}},
                      ReadCase{"zero", Bytes{0x00}, 0, 0, {0x00}},
                      ReadCase{"high_byte_zero_extended", Bytes{0xFF}, 0, 255, {0xFF}},
                      ReadCase{"tail_ignored", Bytes{0x02, 0x41, 0x42}, 0, 2, {0x02, 0x41, 0x42}}),
    [](const auto& info) { return std::string(info.param.what); });

struct WriteCase {
  const char* what;
  std::optional<Bytes> content;
  int value;
  Bytes fileAfter;
};
void PrintTo(const WriteCase& c, std::ostream* os) {
  *os << c.what;
}

class WritePortSettingTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WritePortSettingTest, ReplacesOnlyTheFirstByte) {
  const WriteCase& c = GetParam();
  TempWorkDir dir;
  if (c.content) WriteFile(Name, *c.content);
  MessageRecorder messages;

  EXPECT_EQ(WritePortSetting(Name, c.value, messages), 0);
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_EQ(ReadFile(Name), c.fileAfter);
}

INSTANTIATE_TEST_SUITE_P(
    FileStates, WritePortSettingTest,
    ::testing::Values(WriteCase{"missing", std::nullopt, 1, {0x01}}, WriteCase{"empty", Bytes{}, 4, {0x04}},
                      WriteCase{"overwrite", Bytes{0x09}, 3, {0x03}},
                      WriteCase{"tail_kept", Bytes{0x02, 0x41, 0x42}, 4, {0x04, 0x41, 0x42}},
                      WriteCase{"low_eight_bits_of_261", Bytes{0x01}, 261, {0x05}},
                      WriteCase{"negative_value", Bytes{0x01}, -1, {0xFF}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(PortSettingTest, NewFileGetsTheUsualPermissions) {
  TempWorkDir dir;
  MessageRecorder messages;
  const mode_t mask = umask(022);
  int destination = 1;
  ReadPortSetting(Name, destination, messages);
  umask(mask);
  struct stat info {};
  ASSERT_EQ(stat(Name, &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(PortSettingTest, FileHeldByAnotherIsNeitherReadNorWritten) {
  TempWorkDir dir;
  WriteFile(Name, {0x03});
  MessageRecorder messages;
  int destination = 1;
  {
    OtherHolder other(Name);
    EXPECT_EQ(ReadPortSetting(Name, destination, messages), 1);
    EXPECT_EQ(WritePortSetting(Name, 4, messages), 1);
  }
  EXPECT_EQ(destination, 1);
  EXPECT_EQ(messages.shown, (std::vector<std::string>{OpenMessage, WriteMessage}));
  EXPECT_EQ(ReadFile(Name), Bytes{0x03});
}

TEST(PortSettingTest, FileIsReleasedAfterEachCall) {
  TempWorkDir dir;
  MessageRecorder messages;
  int destination = 1;
  WritePortSetting(Name, 2, messages);
  ReadPortSetting(Name, destination, messages);
  const int fd = open(Name, O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "a call left the file locked";
  close(fd);
  EXPECT_EQ(destination, 2);
}

TEST(PortSettingTest, UnwritableFolderShowsBothMessages) {
  TempWorkDir dir;
  if (!EnterUnwritableFolder(dir)) GTEST_SKIP() << "no folder here refuses new files";
  MessageRecorder messages;
  int destination = 1;
  EXPECT_EQ(ReadPortSetting(Name, destination, messages), 1);
  EXPECT_EQ(WritePortSetting(Name, 1, messages), 1);
  EXPECT_EQ(destination, 1);
  EXPECT_EQ(messages.shown, (std::vector<std::string>{OpenMessage, WriteMessage}));
}

TEST(PortSettingTest, ReadOnlyFileIsReadButNotWritten) {
  TempWorkDir dir;
  chmod(dir.Path().c_str(), 0777);
  WriteFile(Name, {0x03});
  chmod(Name, 0444);
  MessageRecorder messages;
  int destination = 1;
  UnprivilegedFileAccess user;
  if (!user.Ok()) GTEST_SKIP() << "cannot drop file access rights here";
  EXPECT_EQ(ReadPortSetting(Name, destination, messages), 0);
  EXPECT_EQ(destination, 3);
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_EQ(WritePortSetting(Name, 4, messages), 1);
  EXPECT_EQ(messages.shown, std::vector<std::string>{WriteMessage});
  EXPECT_EQ(ReadFile(Name), Bytes{0x03});
}

TEST(PortSettingTest, WriteThatFailsAfterAGoodOpenIsSilent) {
  TempWorkDir dir;
  // A device that opens fine and refuses every byte written to it.
  ASSERT_EQ(symlink("/dev/full", Name), 0);
  MessageRecorder messages;
  EXPECT_EQ(WritePortSetting(Name, 2, messages), 1);
  EXPECT_TRUE(messages.shown.empty());
}

}  // namespace
}  // namespace kv::test
