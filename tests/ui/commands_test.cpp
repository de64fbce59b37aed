// The menu commands on a fake line: the port items, "Load File" with every reader result, and the
// refusals that keep a load and a download apart.
#include <sys/file.h>

#include "tests/ui/hex_text.h"
#include "tests/ui/window_fixture.h"

namespace kv::test {
namespace {

const std::string OpenMessage(CannotOpenSettingMessage);
const std::string WriteMessage(CannotWriteSettingMessage);
const std::string SendingBusy = "Program busy - sending data";
const std::string LoadingBusy = "Program busy - loading file";

std::string Upper(const std::string& path) {
  return UpperCasePath(path);
}

int ProgramPackets(const FakePort& port) {
  int count = 0;
  for (const WrittenPacket& packet : port.writes) count += packet.bytes.size() > 1 && packet.bytes[1] == 0x11;
  return count;
}

// ---- Port items ------------------------------------------------------------------------------------

class PortItemTest : public WindowTest, public ::testing::WithParamInterface<int> {};

TEST_P(PortItemTest, ChoosesChecksWritesAndShowsThePort) {
  const int n = GetParam();
  WriteFile(PortSettingFileName, {0x02, 0x41, 0x42});
  TForm1& w = MakeWindow();
  (w.*PortItemHandlers[static_cast<size_t>(n - 1)])();

  EXPECT_EQ(w.PortNumber, n);
  EXPECT_EQ(form.checkedItem, n);
  EXPECT_EQ(form.panels[1], "COM" + std::to_string(n));
  EXPECT_EQ(ReadFile(PortSettingFileName), (Bytes{static_cast<uint8_t>(n), 0x41, 0x42}));
  EXPECT_EQ(form.panels[0], "No file");
  EXPECT_TRUE(form.shown.empty());
}

INSTANTIATE_TEST_SUITE_P(Items, PortItemTest, ::testing::Values(1, 2, 3, 4));

TEST_F(WindowTest, ChoosingTheCheckedItemAgainRewritesTheFile) {
  WriteFile(PortSettingFileName, {0x02});
  TForm1& w = MakeWindow();
  WriteFile(PortSettingFileName, {0x07, 0x09});  // changed behind the program's back
  w.COM21Click();
  EXPECT_EQ(ReadFile(PortSettingFileName), (Bytes{0x02, 0x09}));
  EXPECT_EQ(form.checkedItem, 2);
  EXPECT_EQ(form.panels[1], "COM2");
}

TEST_F(WindowTest, PortFiveHasNoItemUntilOneIsChosen) {
  WriteFile(PortSettingFileName, {0x05});
  TForm1& w = MakeWindow();
  EXPECT_EQ(form.checkedItem, 0);
  w.COM41Click();
  EXPECT_EQ(form.checkedItem, 4);
  EXPECT_EQ(w.PortNumber, 4);
}

TEST_F(WindowTest, PortChoiceThatCannotBeStoredStillTakesEffect) {
  TForm1& w = MakeWindow();
  const int holder = open(PortSettingFileName, O_RDWR);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  w.COM31Click();
  close(holder);

  EXPECT_EQ(form.Texts(), std::vector<std::string>{WriteMessage});
  EXPECT_EQ(w.PortNumber, 3);
  EXPECT_EQ(form.checkedItem, 3);
  EXPECT_EQ(form.panels[1], "COM3");
  EXPECT_EQ(ReadFile(PortSettingFileName), Bytes{0x01});
}

TEST_F(WindowTest, PortChangedDuringDownloadTakesEffectWithTheNextOne) {
  const std::string file = WriteHex("app.hex", PagesFile({257}));
  TForm1& w = MakeWindow();
  Load(file);
  WhenEventsRun([&] { w.COM31Click(); });
  w.Send1Click();

  EXPECT_EQ(port.openedPorts, std::vector<int>{1});
  EXPECT_EQ(form.Texts(), std::vector<std::string>{"File successfully loaded"});
  EXPECT_EQ(w.PortNumber, 3);
  EXPECT_EQ(form.panels[1], "COM3");
  EXPECT_EQ(ReadFile(PortSettingFileName), Bytes{0x03});

  w.Send1Click();
  EXPECT_EQ(port.openedPorts, (std::vector<int>{1, 3}));
}

// ---- Load File ---------------------------------------------------------------------------------------

struct LoadCase {
  const char* what;
  std::optional<std::string> text;  // nullopt: the file does not exist
  const char* status;               // empty: "Loaded file: " and the upper-cased path
  bool message;                     // the reader's "cannot open" box
  std::vector<uint16_t> pagesUsed;  // and no others of those checked
};
void PrintTo(const LoadCase& c, std::ostream* os) {
  *os << c.what;
}

class LoadResultTest : public WindowTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(LoadResultTest, EachReaderResultGivesItsText) {
  const LoadCase& c = GetParam();
  // A folder and name in mixed case: the file is found only under the name as chosen.
  std::filesystem::create_directory(dir.Path() / "Fw");
  const std::string previous = WriteHex("Fw/Previous.hex", PagesFile({5}));
  const std::string path = (dir.Path() / "Fw" / "Main.Rel.hex").string();
  if (c.text) WriteText(path, *c.text);
  TForm1& w = MakeWindow();
  Load(previous);
  ASSERT_TRUE(w.Image.IsPageUsed(5));

  Load(path);
  EXPECT_EQ(form.panel0AtDialog, "Loading...");
  ASSERT_FALSE(form.choices.empty());
  EXPECT_EQ(form.choices.front().pattern, "*.hex") << "the HEX choice is the active one";
  const std::string expected = *c.status ? std::string(c.status) : "Loaded file: " + Upper(path);
  EXPECT_EQ(form.panels[0], expected);
  if (c.message) {
    ASSERT_EQ(form.Texts(), std::vector<std::string>{OpenMessage});
    EXPECT_EQ(form.shown[0].panel0, "Loading file...please wait");
  } else {
    EXPECT_TRUE(form.shown.empty());
  }
  EXPECT_EQ(w.LoadedFileName, "MAIN.REL");
  EXPECT_FALSE(w.Image.IsPageUsed(5)) << "every load starts from an empty image";
  for (uint16_t page : {256, 257, 258, 259}) {
    const bool expectUsed = std::find(c.pagesUsed.begin(), c.pagesUsed.end(), page) != c.pagesUsed.end();
    EXPECT_EQ(w.Image.IsPageUsed(page), expectUsed) << page;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Results, LoadResultTest,
    ::testing::Values(
        LoadCase{"complete", PagesFile({257, 258}), "", false, {257, 258}},
        LoadCase{"cannot_open", std::nullopt, "File not found", true, {}},
        LoadCase{"invalid_format", PagesFile({257}, false) + ":0Z0000", "Invalid HEX format", false, {257}},
        LoadCase{"illegal_segment",
                 PagesFile({257}, false) + SegmentRecord(0x0010),
                 "Illegal segment alignment",
                 false,
                 {257}},
        LoadCase{"unsupported_type",
                 PagesFile({257}, false) + HexRecord(0x04, 0, {0x00, 0x01}) + "\n",
                 "Unsupported record type",
                 false,
                 {257}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(WindowTest, LoadedFileNameIsSetBeforeTheFileIsRead) {
  TForm1& w = MakeWindow();
  const std::pair<const char*, const char*> cases[] = {{"boot", "BOOT"},
                                                       {"main.rel.hex", "MAIN.REL"},
                                                       {"averylongname.hex", "AVERYLONGNAME"},
                                                       {"v1.2/fw", "FW"}};
  for (const auto& [name, expected] : cases) {
    Load((dir.Path() / name).string());  // none of them exists
    EXPECT_EQ(w.LoadedFileName, expected) << name;
    EXPECT_EQ(form.panels[0], "File not found");
  }
}

TEST_F(WindowTest, StatusShowsPathsOfAnyLength) {
  const std::string folder(150, 'd');
  std::filesystem::create_directory(dir.Path() / folder);
  const std::string file = WriteHex(folder + "/x.hex", PagesFile({257}));
  MakeWindow();
  Load(file);
  EXPECT_EQ(form.panels[0], "Loaded file: " + Upper(file));
  EXPECT_GT(form.panels[0].size(), 160u);
}

TEST_F(WindowTest, WaitTextShowsWhileTheFileIsRead) {
  const std::string file = WriteHex("app.hex", PagesFile({257, 258}));
  TForm1& w = MakeWindow();
  std::string duringLoad;
  bool loading = false;
  WhenEventsRun([&] {
    duringLoad = form.panels[0];
    loading = w.IsLoading();
  });
  Load(file);
  EXPECT_EQ(duringLoad, "Loading file...please wait");
  EXPECT_TRUE(loading);
  EXPECT_FALSE(w.IsLoading());
}

TEST_F(WindowTest, CancelEmptiesTheStatusAndKeepsTheImageForTheNextSend) {
  const std::string file = WriteHex("app.hex", PagesFile({257, 258}));
  TForm1& w = MakeWindow();
  Load(file);
  form.answers.push_back(std::nullopt);
  w.LoadFile1Click();

  EXPECT_EQ(form.dialogs, 2);
  EXPECT_EQ(form.panels[0], "");
  EXPECT_EQ(w.LoadedFileName, "APP");
  EXPECT_TRUE(w.Image.IsPageUsed(257));
  EXPECT_TRUE(w.Image.IsPageUsed(258));

  w.Send1Click();
  EXPECT_EQ(form.Texts(), std::vector<std::string>{"File successfully loaded"});
  EXPECT_EQ(ProgramPackets(port), 3);  // the two pages and the forced first page of the sector
}

TEST_F(WindowTest, LoadDuringDownloadIsRefusedAndChangesNothing) {
  const std::string file = WriteHex("app.hex", PagesFile({257}));
  TForm1& w = MakeWindow();
  Load(file);
  const std::string before = form.panels[0];
  form.answers.push_back(WriteHex("other.hex", PagesFile({5})));
  WhenEventsRun([&] { w.LoadFile1Click(); });
  w.Send1Click();

  ASSERT_EQ(form.Texts(), (std::vector<std::string>{SendingBusy, "File successfully loaded"}));
  EXPECT_EQ(form.shown[0].panel0, before);
  EXPECT_EQ(form.dialogs, 1);
  EXPECT_EQ(w.LoadedFileName, "APP");
  EXPECT_FALSE(w.Image.IsPageUsed(5));
}

TEST_F(WindowTest, LoadAndSendDuringALoadAreRefused) {
  std::string text;
  for (uint16_t page = 256; page < 270; ++page) text += PagesFile({page}, false);
  const std::string file = WriteHex("app.hex", text + EndRecord);
  TForm1& w = MakeWindow();
  form.answers.push_back(WriteHex("other.hex", PagesFile({5})));
  WhenEventsRun([&] {
    w.LoadFile1Click();
    w.Send1Click();
  });
  form.answers.push_front(file);
  w.LoadFile1Click();

  EXPECT_EQ(form.Texts(), (std::vector<std::string>{LoadingBusy, LoadingBusy}));
  EXPECT_EQ(form.dialogs, 1);
  EXPECT_TRUE(port.openedPorts.empty()) << "nothing may be sent from a half-built image";
  EXPECT_EQ(form.panels[0], "Loaded file: " + Upper(file));
  EXPECT_EQ(w.LoadedFileName, "APP");
  EXPECT_TRUE(w.Image.IsPageUsed(269));
  EXPECT_FALSE(w.Image.IsPageUsed(5));
}

// ---- Send ------------------------------------------------------------------------------------------

TEST_F(WindowTest, SendBeforeAnyLoadReportsAnEmptyFile) {
  TForm1& w = MakeWindow();
  w.Send1Click();
  EXPECT_EQ(form.Texts(), std::vector<std::string>{"Empty HEX file"});
  EXPECT_EQ(form.panels[0], "Empty HEX file");
  EXPECT_EQ(port.openedPorts, std::vector<int>{1});
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(w.Busy);
  EXPECT_EQ(form.progressPosition, 0);
  EXPECT_EQ(form.label, "0 %");
}

// Only a whole file goes to a device: whatever a failed read left in the image stays on the host.
class SendAfterFailedLoadTest : public WindowTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(SendAfterFailedLoadTest, ShowsTheLoadsResultAndSendsNothingUntilAGoodLoad) {
  const LoadCase& c = GetParam();
  const std::string good = WriteHex("good.hex", PagesFile({257}));
  const std::string broken = (dir.Path() / "broken.hex").string();
  if (c.text) WriteText(broken, *c.text);
  TForm1& w = MakeWindow();
  Load(good);
  Load(broken);
  form.shown.clear();

  w.Send1Click();
  form.answers.push_back(std::nullopt);
  w.LoadFile1Click();  // a cancelled dialog leaves the broken file's remains in the image
  w.Send1Click();

  const std::string expected(c.status);
  EXPECT_EQ(form.Texts(), (std::vector<std::string>{expected, expected}));
  EXPECT_EQ(form.panels[0], expected);
  EXPECT_TRUE(port.openedPorts.empty()) << "not even the port may be opened";
  EXPECT_TRUE(port.writes.empty());

  Load(good);
  w.Send1Click();
  EXPECT_EQ(form.Texts().back(), "File successfully loaded");
  EXPECT_EQ(ProgramPackets(port), 2);  // page 257 and the forced first page of its sector
}

INSTANTIATE_TEST_SUITE_P(
    Results, SendAfterFailedLoadTest,
    ::testing::Values(
        LoadCase{"cannot_open", std::nullopt, "File not found", true, {}},
        LoadCase{"invalid_format", PagesFile({258}, false) + ":0Z0000", "Invalid HEX format", false, {}},
        LoadCase{"illegal_segment",
                 PagesFile({258}, false) + SegmentRecord(0x0010),
                 "Illegal segment alignment",
                 false,
                 {}},
        LoadCase{"unsupported_type",
                 PagesFile({258}, false) + HexRecord(0x04, 0, {0x00, 0x01}) + "\n",
                 "Unsupported record type",
                 false,
                 {}}),
    [](const auto& info) { return std::string(info.param.what); });

// The cause of a failure, the port's or the line's, is in the tip of the status text it explains.
TEST_F(WindowTest, AFailureKeepsTheTextsAndTellsItsCauseInTheTip) {
  TForm1& w = MakeWindow();
  port.openFails = true;
  port.openError = {OpenFailure::PermissionDenied, "/dev/ttyUSB0", "Permission denied"};
  w.Send1Click();
  EXPECT_EQ(form.Texts(), std::vector<std::string>{"Serial communication error"});
  EXPECT_EQ(form.panels[0], "Serial communication error");
  EXPECT_EQ(form.panelTip, DescribeOpenError(port.openError));

  // The tip explains that one text only: the next command's text comes without it.
  port.openFails = false;
  port.openError = {};
  w.Send1Click();
  EXPECT_EQ(form.panels[0], "Empty HEX file");
  EXPECT_EQ(form.panelTip, "");

  Load(WriteHex("app.hex", PagesFile({257})));
  port.readFails = true;  // the adapter is pulled out at the first reply
  w.Send1Click();
  EXPECT_EQ(form.panels[0], "Comm. error during memory erasing");
  // The command and what happened, then the fix.
  EXPECT_TRUE(form.panelTip.starts_with("erase of sector #1: ")) << form.panelTip;
  EXPECT_NE(form.panelTip.find("; check the cable"), std::string::npos) << form.panelTip;
}

TEST_F(WindowTest, FailedReadPutsWhereItStoppedIntoTheTip) {
  const std::string broken = WriteHex("broken.hex", PagesFile({257}, false) + ":0Z0000\n");
  MemoryImage image;
  SystemTime time;
  HexReadDetail detail;
  FormRecorder readerHost;
  TForm1 reader(readerHost, port, clock, ports);
  ASSERT_EQ(ReadHexFile(broken.c_str(), image, time, reader, &detail), InvalidHexFormat);

  TForm1& w = MakeWindow();
  Load(broken);
  EXPECT_EQ(form.panels[0], "Invalid HEX format");
  const std::string where = detail.line ? "line " + std::to_string(detail.line) : "";
  EXPECT_TRUE(form.panelTip.starts_with(where)) << form.panelTip;
  EXPECT_NE(form.panelTip.find(detail.text), std::string::npos) << form.panelTip;
  w.Send1Click();
  EXPECT_EQ(form.panels[0], "Invalid HEX format");
  EXPECT_EQ(form.panelTip.empty(), detail.text.empty() && !detail.line) << "a refused Send keeps the cause";
}

TEST_F(WindowTest, EveryPortItemNamesItsDeviceAndSaysWhenTheNumbersHoldOnlyForNow) {
  setenv("LD6193_COM3", "/dev/ttyACM7", 1);
  tree.Adapter("ttyUSB0", "1-1", "FTDI", "FT232R", "usb-FTDI_FT232R_A9-if00-port0");
  std::filesystem::create_directories(std::filesystem::path(tree.NumbersFile()).parent_path());
  FakeTree::Write(tree.NumbersFile(), "COM2 usb-FTDI_FT232R_A9-if00-port0\nCOM2\n");
  MakeWindow();
  unsetenv("LD6193_COM3");
  const std::string notice = "\ncannot use the COM numbers in " + tree.NumbersFile() + " (line 2: ";
  const std::string devices[] = {tree.Dev("ttyUSB0") + ", FTDI FT232R", "not present",
                                 "/dev/ttyACM7 (LD6193_COM3)", "not present"};
  ASSERT_EQ(form.itemTips.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_TRUE(
        form.itemTips[i].starts_with("COM" + std::to_string(i + 1) + " \u2014 " + devices[i] + notice))
        << form.itemTips[i];
  }
}

}  // namespace
}  // namespace kv::test
