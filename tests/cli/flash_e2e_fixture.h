// The fixture of the flasher's end-to-end tests: a folder of its own per test, HEX files with a fixed
// write time, simulators with dump and trace files, and the flasher host (Linux, or Windows under wine).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/flash_process.h"
#include "tests/support/hex_text.h"
#include "tests/support/sim_process.h"

namespace kv::test {

// 2005-03-05 09:07:03 UTC: the files' last-write time.
inline constexpr time_t FileTime = 1110013623;

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline std::string LastLine(const std::string& text) {
  const auto lines = Lines(text);
  return lines.empty() ? std::string() : lines.back();
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline std::string UpperCase(std::string text) {
  for (char& ch : text) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return text;
}

class FlashEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(host_.Problem(), "");
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');  // parameterised tests: "Name/0"
    folder_ =
        std::filesystem::temp_directory_path() / ("kv_flash_e2e_" + std::to_string(getpid()) + "_" + name);
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override {
    host_.ReleasePorts();
    std::filesystem::remove_all(folder_);
  }

  std::string Path(const std::string& name) const { return (folder_ / name).string(); }
  // The same path as the flasher is given it.
  std::string Arg(const std::string& path) const { return host_.FlasherPath(path); }

  std::string WriteText(const std::string& name, const std::string& text) {
    const std::string path = Path(name);
    std::ofstream(path, std::ios::binary) << text;
    const timespec times[2] = {{FileTime, 0}, {FileTime, 0}};
    EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    return path;
  }
  std::string WriteHex(const std::string& name, const FileData& data) {
    return WriteText(name, HexText(data));
  }

  // The name and time the block must carry: the local time of FileTime with today's UTC offset.
  static FileStamp StampFor(const std::string& name) {
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    const time_t shifted = FileTime + local.tm_gmtoff;
    tm fields{};
    gmtime_r(&shifted, &fields);
    return {name,           fields.tm_mday, fields.tm_mon + 1, fields.tm_year + 1900,
            fields.tm_hour, fields.tm_min,  fields.tm_sec};
  }

  // A simulator with a dump file (and a trace file), plus any faults.
  void StartSim(SimProcess& sim, const std::string& tag, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--dump", Path(tag + ".dump"), "--trace", Path(tag + ".trace")};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(sim.Start(args)) << sim.error();
  }
  size_t PacketsSeen(const std::string& tag) {
    size_t packets = 0;
    for (const std::string& line :
         Lines(std::string(ReadBytes(Path(tag + ".trace")).begin(), ReadBytes(Path(tag + ".trace")).end()))) {
      packets += line.starts_with(">");
    }
    return packets;
  }

  const FlasherHost& host_ = FlasherHost::FromEnvironment();
  std::filesystem::path folder_;
};

}  // namespace kv::test
