// The numbers file against whatever stands where it lives: a FIFO, a link to the person's own file, a
// temporary file left behind, CRLF lines; and a number forgotten that nobody keeps changes nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "ports/port_names.h"
#include "tests/support/fake_tree.h"

namespace kv::test {
namespace {
namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The file keeps COM5 for usb-b; usb-a is new and takes COM1. Then COM5 is forgotten.
TEST(NumbersFilePlace, NeverHangsFollowsNoStrayLinkWritesThroughItsLinkAndKeepsItsLineEnding) {
  const std::string b = "COM5 usb-b\n";
  const std::string both = b + "COM1 usb-a\n";
  const struct {
    const char* what;
    std::function<void(const fs::path& file)> place;  // what stands where the file lives, in its folder
    const char* noticeHas;                            // in the look's notice; "" for none
    std::string afterLook;                            // the file's text then (read through links)
    ForgetOutcome forgotten;                          // what forgetting COM5 gives
    std::string afterForget;
  } rows[] = {
      {"no folder yet", nullptr, "", "", ForgetOutcome::NotKept, ""},
      {"a FIFO", [](const fs::path& file) { ASSERT_EQ(mkfifo(file.c_str(), 0600), 0); }, "(not a plain file)",
       "", ForgetOutcome::Failed, ""},
      {"a link to the person's own file",
       [&](const fs::path& file) {
         FakeTree::Write(file.parent_path() / "mine", b);
         fs::create_symlink("mine", file);
       },
       "", both, ForgetOutcome::Forgotten, "COM1 usb-a\n"},
      {"a temporary file left as a link",
       [&](const fs::path& file) {
         FakeTree::Write(file, b);
         FakeTree::Write(file.parent_path() / "victim", "precious");
         fs::create_symlink("victim", file.string() + ".new");
       },
       "", both, ForgetOutcome::Forgotten, "COM1 usb-a\n"},
      {"a temporary file left by a crash",
       [&](const fs::path& file) {
         FakeTree::Write(file, b);
         FakeTree::Write(file.string() + ".new", "COM9 half");
         fs::permissions(file.string() + ".new", fs::perms::owner_read);
       },
       "", both, ForgetOutcome::Forgotten, "COM1 usb-a\n"},
      {"CRLF lines", [](const fs::path& file) { FakeTree::Write(file, "# mine\r\nCOM5 usb-b\r\n"); }, "",
       "# mine\r\nCOM5 usb-b\r\nCOM1 usb-a\r\n", ForgetOutcome::Forgotten, "# mine\r\nCOM1 usb-a\r\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    FakeTree tree;
    tree.Adapter("ttyUSB0", "1-1", "FTDI", "FT232R", "usb-a");
    tree.Adapter("ttyACM0", "1-2", "Arduino", "Uno", "usb-b");
    const PortDirectory ports = tree.Ports();
    const fs::path file = tree.NumbersFile();
    const fs::path folder = file.parent_path();
    if (row.place) {
      fs::create_directories(folder);
      row.place(file);
    }

    // A number nobody keeps: nothing to change, so neither the lock nor the folder is made.
    EXPECT_NE(ports.Forget(7).outcome, ForgetOutcome::Forgotten);
    EXPECT_FALSE(fs::exists(fs::symlink_status(file.string() + ".lock")));
    EXPECT_EQ(fs::exists(folder), row.place != nullptr);

    const PortSurvey survey = SurveyPorts(ports.Places());
    EXPECT_NE(survey.notice.find(row.noticeHas), std::string::npos) << survey.notice;
    EXPECT_EQ(survey.notice.empty(), *row.noticeHas == '\0') << survey.notice;
    if (!row.afterLook.empty()) {
      EXPECT_EQ(ReadText(file), row.afterLook);
    }
    const ForgetResult forget = ports.Forget(5);
    EXPECT_EQ(forget.outcome, row.forgotten) << forget.text;
    if (!row.afterForget.empty()) {
      EXPECT_EQ(ReadText(file), row.afterForget);
    }

    EXPECT_FALSE(fs::exists(fs::symlink_status(file.string() + ".new"))) << "no temporary file is left";
    if (fs::exists(folder / "mine")) {
      EXPECT_TRUE(fs::is_symlink(fs::symlink_status(file))) << "the link stays";
    }
    if (fs::exists(folder / "victim")) {
      EXPECT_EQ(ReadText(folder / "victim"), "precious");
    }
  }
}

}  // namespace
}  // namespace kv::test
