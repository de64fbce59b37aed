// Loading the start-up flash and dumping it.
#include <dirent.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "sim/flash_file.h"
#include "tests/sim/sim_pty_io.h"

namespace kv::sim {
namespace {

using kv::test::ReadWholeFile;
using kv::test::ScratchDir;

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

size_t EntriesIn(const std::string& dir) {
  size_t n = 0;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

TEST(SimFlashFile, LoadsOnlyAFileOfExactlyTheFlashSize) {
  ScratchDir dir;
  struct Row {
    size_t size;
    bool loads;
  };
  for (const Row& row :
       {Row{FlashSize, true}, Row{FlashSize - 1, false}, Row{FlashSize + 1, false}, Row{0, false}}) {
    std::vector<uint8_t> bytes(row.size);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i ^ (i >> 8));
    const std::string path = dir.Path("flash" + std::to_string(row.size));
    WriteFile(path, bytes);
    Flash flash;
    std::string why;
    EXPECT_EQ(LoadFlashFile(path, flash, why), row.loads) << row.size;
    if (row.loads) {
      EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), flash.data()));
    } else {
      EXPECT_NE(why.find("524288"), std::string::npos) << why;
      EXPECT_EQ(std::count(flash.data(), flash.data() + FlashSize, 0xFF), static_cast<long>(FlashSize));
    }
  }
  Flash flash;
  std::string why;
  EXPECT_FALSE(LoadFlashFile(dir.Path("absent"), flash, why));
  EXPECT_NE(why.find("absent"), std::string::npos);
}

TEST(SimFlashFile, DumpReplacesTheFileWholeAndLeavesNoTemporary) {
  ScratchDir dir;
  const std::string path = dir.Path("dump.bin");
  WriteFile(path, std::vector<uint8_t>(10, 0x00));  // an older, shorter dump
  Flash flash;
  flash.data()[0] = 0x01;
  flash.data()[FlashSize - 1] = 0x02;
  std::string why;
  ASSERT_TRUE(DumpFlashFile(path, flash, why)) << why;
  const std::vector<uint8_t> dumped = ReadWholeFile(path);
  ASSERT_EQ(dumped.size(), FlashSize);
  EXPECT_TRUE(std::equal(dumped.begin(), dumped.end(), flash.data()));
  EXPECT_EQ(EntriesIn(dir.Path("")), 1u);
}

TEST(SimFlashFile, DumpIntoAMissingFolderFailsWithAReason) {
  ScratchDir dir;
  Flash flash;
  std::string why;
  EXPECT_FALSE(DumpFlashFile(dir.Path("no/such/dump.bin"), flash, why));
  EXPECT_FALSE(why.empty());
}

}  // namespace
}  // namespace kv::sim
