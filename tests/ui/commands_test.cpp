// The menu commands on a fake line: the port items, "Load File" with every reader result, and the
// refusals that keep a load and a download apart.
#include <sys/file.h>

#include <QLabel>
#include <QProgressBar>

#include "tests/ui/hex_text.h"
#include "tests/ui/window_fixture.h"

namespace kv::test {
namespace {

const QString OpenMessage = QString::fromUtf8(CannotOpenSettingMessage.data());
const QString WriteMessage = QString::fromUtf8(CannotWriteSettingMessage.data());
const QString SendingBusy = "Program busy - sending data";
const QString LoadingBusy = "Program busy - loading file";

QString Upper(const QString& path) {
  return QString::fromStdString(UpperCasePath(path.toStdString()));
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
  QAction* const items[] = {w.COM11, w.COM21, w.COM31, w.COM41};
  items[n - 1]->trigger();

  EXPECT_EQ(w.PortNumber, n);
  EXPECT_EQ(CheckedItem(), n);
  EXPECT_EQ(w.StatusPanelText(1), QStringLiteral("COM%1").arg(n));
  EXPECT_EQ(ReadFile(PortSettingFileName), (Bytes{static_cast<uint8_t>(n), 0x41, 0x42}));
  EXPECT_EQ(w.StatusPanelText(0), "No file");
  EXPECT_TRUE(prompts.shown.empty());
}

INSTANTIATE_TEST_SUITE_P(Items, PortItemTest, ::testing::Values(1, 2, 3, 4));

TEST_F(WindowTest, ChoosingTheCheckedItemAgainRewritesTheFile) {
  WriteFile(PortSettingFileName, {0x02});
  TForm1& w = MakeWindow();
  WriteFile(PortSettingFileName, {0x07, 0x09});  // changed behind the program's back
  w.COM21->trigger();
  EXPECT_EQ(ReadFile(PortSettingFileName), (Bytes{0x02, 0x09}));
  EXPECT_EQ(CheckedItem(), 2);
  EXPECT_EQ(w.StatusPanelText(1), "COM2");
}

TEST_F(WindowTest, PortFiveHasNoItemUntilOneIsChosen) {
  WriteFile(PortSettingFileName, {0x05});
  TForm1& w = MakeWindow();
  EXPECT_EQ(CheckedItem(), 0);
  w.COM41->trigger();
  EXPECT_EQ(CheckedItem(), 4);
  EXPECT_EQ(w.PortNumber, 4);
}

TEST_F(WindowTest, PortChoiceThatCannotBeStoredStillTakesEffect) {
  TForm1& w = MakeWindow();
  const int holder = open(PortSettingFileName, O_RDWR);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  w.COM31->trigger();
  close(holder);

  EXPECT_EQ(prompts.Texts(), std::vector<QString>{WriteMessage});
  EXPECT_EQ(w.PortNumber, 3);
  EXPECT_EQ(CheckedItem(), 3);
  EXPECT_EQ(w.StatusPanelText(1), "COM3");
  EXPECT_EQ(ReadFile(PortSettingFileName), Bytes{0x01});
}

TEST_F(WindowTest, PortChangedDuringDownloadTakesEffectWithTheNextOne) {
  const QString file = WriteHex("app.hex", PagesFile({257}));
  TForm1& w = MakeWindow();
  Load(file);
  WhenEventsRun([&] { w.COM31->trigger(); });
  w.Send1->trigger();

  EXPECT_EQ(port.openedPorts, std::vector<int>{1});
  EXPECT_EQ(prompts.Texts(), std::vector<QString>{"File successfully loaded"});
  EXPECT_EQ(w.PortNumber, 3);
  EXPECT_EQ(w.StatusPanelText(1), "COM3");
  EXPECT_EQ(ReadFile(PortSettingFileName), Bytes{0x03});

  w.Send1->trigger();
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
  const QString previous = WriteHex("Fw/Previous.hex", PagesFile({5}));
  const QString path = QString::fromStdString((dir.Path() / "Fw" / "Main.Rel.hex").string());
  if (c.text) WriteText(path.toStdString(), *c.text);
  TForm1& w = MakeWindow();
  Load(previous);
  ASSERT_TRUE(w.Image.IsPageUsed(5));

  Load(path);
  EXPECT_EQ(prompts.panel0AtDialog, "Loading...");
  EXPECT_EQ(prompts.lastFilter, "Loader 619x (*.hex);;All files (*.*)");
  const QString expected = *c.status ? QString(c.status) : "Loaded file: " + Upper(path);
  EXPECT_EQ(w.StatusPanelText(0), expected);
  if (c.message) {
    ASSERT_EQ(prompts.Texts(), std::vector<QString>{OpenMessage});
    EXPECT_EQ(prompts.shown[0].panel0, "Loading file...please wait");
  } else {
    EXPECT_TRUE(prompts.shown.empty());
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
    Load(QString::fromStdString((dir.Path() / name).string()));  // none of them exists
    EXPECT_EQ(w.LoadedFileName, expected) << name;
    EXPECT_EQ(w.StatusPanelText(0), "File not found");
  }
}

TEST_F(WindowTest, StatusShowsPathsOfAnyLength) {
  const std::string folder(150, 'd');
  std::filesystem::create_directory(dir.Path() / folder);
  const QString file = WriteHex(folder + "/x.hex", PagesFile({257}));
  TForm1& w = MakeWindow();
  Load(file);
  EXPECT_EQ(w.StatusPanelText(0), "Loaded file: " + Upper(file));
  EXPECT_GT(w.StatusPanelText(0).size(), 160);
}

TEST_F(WindowTest, WaitTextShowsWhileTheFileIsRead) {
  const QString file = WriteHex("app.hex", PagesFile({257, 258}));
  TForm1& w = MakeWindow();
  QString duringLoad;
  bool loading = false;
  WhenEventsRun([&] {
    duringLoad = w.StatusPanelText(0);
    loading = w.IsLoading();
  });
  Load(file);
  EXPECT_EQ(duringLoad, "Loading file...please wait");
  EXPECT_TRUE(loading);
  EXPECT_FALSE(w.IsLoading());
}

TEST_F(WindowTest, CancelEmptiesTheStatusAndKeepsTheImageForTheNextSend) {
  const QString file = WriteHex("app.hex", PagesFile({257, 258}));
  TForm1& w = MakeWindow();
  Load(file);
  prompts.answers.push_back(std::nullopt);
  w.LoadFile1->trigger();

  EXPECT_EQ(prompts.dialogs, 2);
  EXPECT_EQ(w.StatusPanelText(0), "");
  EXPECT_EQ(w.LoadedFileName, "APP");
  EXPECT_TRUE(w.Image.IsPageUsed(257));
  EXPECT_TRUE(w.Image.IsPageUsed(258));

  w.Send1->trigger();
  EXPECT_EQ(prompts.Texts(), std::vector<QString>{"File successfully loaded"});
  EXPECT_EQ(ProgramPackets(port), 3);  // the two pages and the forced first page of the sector
}

TEST_F(WindowTest, LoadDuringDownloadIsRefusedAndChangesNothing) {
  const QString file = WriteHex("app.hex", PagesFile({257}));
  TForm1& w = MakeWindow();
  Load(file);
  const QString before = w.StatusPanelText(0);
  prompts.answers.push_back(WriteHex("other.hex", PagesFile({5})));
  WhenEventsRun([&] { w.LoadFile1->trigger(); });
  w.Send1->trigger();

  ASSERT_EQ(prompts.Texts(), (std::vector<QString>{SendingBusy, "File successfully loaded"}));
  EXPECT_EQ(prompts.shown[0].panel0, before);
  EXPECT_EQ(prompts.dialogs, 1);
  EXPECT_EQ(w.LoadedFileName, "APP");
  EXPECT_FALSE(w.Image.IsPageUsed(5));
}

TEST_F(WindowTest, LoadAndSendDuringALoadAreRefused) {
  std::string text;
  for (uint16_t page = 256; page < 270; ++page) text += PagesFile({page}, false);
  const QString file = WriteHex("app.hex", text + EndRecord);
  TForm1& w = MakeWindow();
  prompts.answers.push_back(WriteHex("other.hex", PagesFile({5})));
  WhenEventsRun([&] {
    w.LoadFile1->trigger();
    w.Send1->trigger();
  });
  prompts.answers.push_front(file);
  w.LoadFile1->trigger();

  EXPECT_EQ(prompts.Texts(), (std::vector<QString>{LoadingBusy, LoadingBusy}));
  EXPECT_EQ(prompts.dialogs, 1);
  EXPECT_TRUE(port.openedPorts.empty()) << "nothing may be sent from a half-built image";
  EXPECT_EQ(w.StatusPanelText(0), "Loaded file: " + Upper(file));
  EXPECT_EQ(w.LoadedFileName, "APP");
  EXPECT_TRUE(w.Image.IsPageUsed(269));
  EXPECT_FALSE(w.Image.IsPageUsed(5));
}

// ---- Send ------------------------------------------------------------------------------------------

TEST_F(WindowTest, SendBeforeAnyLoadReportsAnEmptyFile) {
  TForm1& w = MakeWindow();
  w.Send1->trigger();
  EXPECT_EQ(prompts.Texts(), std::vector<QString>{"Empty HEX file"});
  EXPECT_EQ(w.StatusPanelText(0), "Empty HEX file");
  EXPECT_EQ(port.openedPorts, std::vector<int>{1});
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(w.Busy);
  EXPECT_EQ(w.ProgressBar1->value(), 0);
  EXPECT_EQ(w.Label1->text(), "0 %");
}

}  // namespace
}  // namespace kv::test
