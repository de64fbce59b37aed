// Start-up and shutdown of the window's behaviour: the setting file read, repaired and written back,
// the first texts, a file given at start, the caption, and closing with and without a running command.
#include <clocale>
#include <filesystem>

#include "tests/ui/hex_text.h"
#include "tests/ui/window_fixture.h"

namespace kv::test {
namespace {

struct StartCase {
  const char* what;
  std::optional<Bytes> stored;  // nullopt: no setting file
  int port;
  int checkedItem;  // 0: none
  Bytes fileAfter;
};
void PrintTo(const StartCase& c, std::ostream* os) {
  *os << c.what;
}

class StartUpTest : public WindowTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartUpTest, SettlesThePortFromTheSettingFile) {
  const StartCase& c = GetParam();
  if (c.stored) WriteFile(PortSettingFileName, *c.stored);
  TForm1& w = MakeWindow();

  EXPECT_EQ(w.PortNumber, c.port);
  EXPECT_EQ(form.panels[1], "COM" + std::to_string(c.port));
  EXPECT_EQ(form.panels[0], "No file");
  EXPECT_EQ(form.checkedItem, c.checkedItem);
  EXPECT_EQ(ReadFile(PortSettingFileName), c.fileAfter);
  EXPECT_TRUE(form.shown.empty());
  // Bar and label keep their designed values.
  EXPECT_EQ(form.progressMax, 100);
  EXPECT_EQ(form.progressPosition, 0);
  EXPECT_EQ(form.label, "0 %");
}

INSTANTIATE_TEST_SUITE_P(
    SettingFile, StartUpTest,
    ::testing::Values(StartCase{"missing", std::nullopt, 1, 1, {0x01}},
                      StartCase{"empty", Bytes{}, 1, 1, {0x01}},
                      StartCase{"port3", Bytes{0x03}, 3, 3, {0x03}},
                      StartCase{"port5_has_no_item", Bytes{0x05}, 5, 0, {0x05}},
                      StartCase{"zero_repaired", Bytes{0x00}, 1, 1, {0x01}},
                      StartCase{"nine_repaired", Bytes{0x09}, 1, 1, {0x01}},
                      StartCase{"ff_repaired", Bytes{0xFF}, 1, 1, {0x01}},
                      StartCase{"three_bytes", Bytes{0x02, 0x41, 0x42}, 2, 2, {0x02, 0x41, 0x42}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(WindowTest, StartInUnwritableFolderShowsBothMessagesFirstAndUsesPort1) {
  if (geteuid() != 0) {
    chmod(dir.Path().c_str(), 0555);
  } else {
    std::filesystem::current_path("/proc");  // root ignores permission bits, not this file system
  }
  if (!CannotCreateIn(std::filesystem::current_path())) GTEST_SKIP() << "no folder here refuses new files";

  TForm1& w = MakeWindow();
  ASSERT_EQ(form.Texts(), (std::vector<std::string>{std::string(CannotOpenSettingMessage),
                                                    std::string(CannotWriteSettingMessage)}));
  EXPECT_FALSE(form.shown[0].visible);
  EXPECT_FALSE(form.shown[1].visible);
  EXPECT_EQ(w.PortNumber, 1);
  EXPECT_EQ(form.panels[1], "COM1");
  EXPECT_EQ(form.checkedItem, 1);
}

TEST_F(WindowTest, FileGivenAtStartIsLoadedAsIfChosen) {
  const std::string file = WriteHex("Boot.hex", PagesFile({1, 2}));
  TForm1& w = MakeWindow();
  w.LoadStartFile(file);
  EXPECT_EQ(form.panels[0], "Loaded file: " + UpperCasePath(file));
  EXPECT_EQ(w.LoadedFileName, "BOOT");
  EXPECT_TRUE(w.Image.IsPageUsed(2));
  EXPECT_EQ(form.dialogs, 0);
  w.Send1Click();
  EXPECT_EQ(form.Texts(), std::vector<std::string>{"File successfully loaded"});
}

TEST_F(WindowTest, CaptionReadsVersionWithFullStopUnderEveryLocale) {
  const std::string expected = "KV6193 System File Loader Ver 1.1    (c) 2026 KV6193 Tools";
  const std::string before = std::setlocale(LC_ALL, nullptr);
  for (const char* name : {"C", "de_DE.UTF-8", "cs_CZ.UTF-8", "ar_EG.UTF-8", "fa_IR.UTF-8"}) {
    if (!std::setlocale(LC_ALL, name)) continue;  // not installed here
    MakeWindow();
    EXPECT_EQ(form.caption, expected) << name;
  }
  std::setlocale(LC_ALL, before.c_str());
}

TEST_F(WindowTest, SmallerMaximumClampsTheBarInsteadOfEmptyingIt) {
  TForm1& w = MakeWindow();
  w.SetProgressMax(10);
  w.SetProgress(8, "80 %");
  w.SetProgressMax(4);
  EXPECT_EQ(form.progressMax, 4);
  EXPECT_EQ(form.progressPosition, 4);
  w.SetProgressMax(20);
  EXPECT_EQ(form.progressPosition, 4);
  EXPECT_EQ(form.label, "80 %");
}

TEST_F(WindowTest, CloseWhileIdleEndsAtOnceWithoutPause) {
  TForm1& w = MakeWindow();
  EXPECT_TRUE(w.FormClose());
  EXPECT_EQ(clock.now, 0u);
  EXPECT_EQ(port.shutdowns, 0);
}

TEST_F(WindowTest, CloseDuringDownloadShutsThePortAndTheDownloadEndsNormally) {
  const std::string file = WriteHex("app.hex", PagesFile({257, 258}));
  TForm1& w = MakeWindow();
  Load(file);
  WhenEventsRun([&] { EXPECT_FALSE(w.FormClose()) << "the window must wait for the download"; });
  w.Send1Click();

  EXPECT_EQ(port.shutdowns, 1);
  EXPECT_EQ(port.writes.size(), 0u) << "the erase met a shut port";
  ASSERT_EQ(form.Texts(), std::vector<std::string>{"Communication error during memory erasing"});
  EXPECT_TRUE(form.shown[0].visible);
  EXPECT_FALSE(w.Busy);
  EXPECT_EQ(form.closeCalls, 1);
  EXPECT_FALSE(form.visible) << "closed once the download had ended";
  EXPECT_FALSE(port.IsOpen());
}

TEST_F(WindowTest, CloseDuringLoadRunsTheLoadToItsEndAndClosesTheFile) {
  std::string text;
  for (uint16_t page = 256; page < 300; ++page) text += PagesFile({page}, false);
  const std::string file = WriteHex("long.hex", text + EndRecord);
  TForm1& w = MakeWindow();
  int pumpsAfterClose = 0;
  WhenEventsRun([&] {
    EXPECT_FALSE(w.FormClose());
    // Anything still posted must wait: the closing window handles no more events inside the load.
    WhenEventsRun([&] { ++pumpsAfterClose; });
  });
  Load(file);

  EXPECT_EQ(pumpsAfterClose, 0);
  EXPECT_FALSE(form.visible);
  EXPECT_FALSE(w.IsLoading());
  EXPECT_TRUE(form.panels[0].starts_with("Loaded file: "));
  EXPECT_TRUE(w.Image.IsPageUsed(299));
  // No descriptor of this process still refers to the file.
  const std::filesystem::path target = std::filesystem::canonical(file);
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    EXPECT_NE(std::filesystem::read_symlink(fd.path(), ignored), target);
  }
}

}  // namespace
}  // namespace kv::test
