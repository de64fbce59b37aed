// Start-up and shutdown of the window: the setting file read, repaired and written back, the first
// texts, the caption under any locale, the layout, and closing with and without a running command.
#include <QActionGroup>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QStatusBar>

#include "tests/ui/hex_text.h"
#include "tests/ui/window_fixture.h"

namespace kv::test {
namespace {

const QString OpenMessage = QString::fromUtf8(CannotOpenSettingMessage.data());
const QString WriteMessage = QString::fromUtf8(CannotWriteSettingMessage.data());

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
  EXPECT_EQ(w.StatusPanelText(1), QStringLiteral("COM%1").arg(c.port));
  EXPECT_EQ(w.StatusPanelText(0), "No file");
  EXPECT_EQ(CheckedItem(), c.checkedItem);
  EXPECT_EQ(ReadFile(PortSettingFileName), c.fileAfter);
  EXPECT_TRUE(prompts.shown.empty());
  EXPECT_EQ(Form1, &w);
  // Bar and label keep their designed values.
  EXPECT_EQ(w.ProgressBar1->minimum(), 0);
  EXPECT_EQ(w.ProgressBar1->maximum(), 100);
  EXPECT_EQ(w.ProgressBar1->value(), 0);
  EXPECT_EQ(w.Label1->text(), "0 %");
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
  ASSERT_EQ(prompts.Texts(), (std::vector<QString>{OpenMessage, WriteMessage}));
  EXPECT_FALSE(prompts.shown[0].windowVisible);
  EXPECT_FALSE(prompts.shown[1].windowVisible);
  EXPECT_EQ(w.PortNumber, 1);
  EXPECT_EQ(w.StatusPanelText(1), "COM1");
  EXPECT_EQ(CheckedItem(), 1);
}

TEST_F(WindowTest, CaptionReadsVersionWithFullStopUnderEveryLocale) {
  const QString expected = QStringLiteral("KV6193 System File Loader Ver 1.1    (c) 2026 KV6193 Tools");
  const QLocale before;
  for (const QLocale::Language language :
       {QLocale::English, QLocale::German, QLocale::French, QLocale::Czech}) {
    const QLocale locale(language);
    QLocale::setDefault(locale);
    MakeWindow();
    EXPECT_EQ(window->windowTitle(), expected) << locale.name().toStdString();
    EXPECT_EQ(VersionText(locale), "1.1");
  }
  QLocale::setDefault(before);
  // The check above only means something if some of those locales write a comma.
  EXPECT_EQ(QLocale(QLocale::German).toString(ProgramVersion, 'g', 15), "1,1");
}

TEST_F(WindowTest, LayoutMatchesTheDesign) {
  TForm1& w = MakeWindow();
  w.show();

  // Menu bar: two commands on the bar itself, then the Setup menu of four radio items.
  const QList<QAction*> bar = w.MainMenu1->actions();
  ASSERT_EQ(bar.size(), 3);
  EXPECT_EQ(bar[0], w.LoadFile1);
  EXPECT_EQ(bar[1], w.Send1);
  EXPECT_EQ(bar[0]->text(), "Load File");
  EXPECT_EQ(bar[1]->text(), "Send");
  EXPECT_EQ(bar[2]->text(), "Setup");
  EXPECT_EQ(bar[0]->menu(), nullptr);
  EXPECT_EQ(bar[1]->menu(), nullptr);
  EXPECT_EQ(bar[2]->menu(), w.Setup1);
  const std::vector<QAction*> items{w.COM11, w.COM21, w.COM31, w.COM41};
  ASSERT_EQ(w.Setup1->actions(), QList<QAction*>(items.begin(), items.end()));
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i]->text(), QStringLiteral("COM%1").arg(i + 1));
    EXPECT_TRUE(items[i]->isCheckable());
    ASSERT_NE(items[i]->actionGroup(), nullptr);
    EXPECT_EQ(items[i]->actionGroup(), w.COM11->actionGroup());
    EXPECT_TRUE(items[i]->shortcut().isEmpty());
  }
  EXPECT_EQ(w.COM11->actionGroup()->exclusionPolicy(), QActionGroup::ExclusionPolicy::Exclusive);
  for (QAction* command : {w.LoadFile1, w.Send1}) EXPECT_TRUE(command->shortcut().isEmpty());

  EXPECT_EQ(w.width(), 489);
  EXPECT_EQ(w.pos(), QPoint(247, 311));
  EXPECT_EQ(w.ProgressBar1->geometry(), QRect(8, 16, 473, 89));
  EXPECT_FALSE(w.ProgressBar1->isTextVisible());
  EXPECT_EQ(w.Label1->pos(), QPoint(216, 112));
  EXPECT_EQ(w.Label1->font().pointSize(), 14);
  EXPECT_EQ(w.Label1->alignment(), Qt::AlignCenter);

  // The two panels sit side by side at their widths, wholly inside the bar and tall enough for text.
  const auto panels = w.StatusBar1->findChildren<QLabel*>();
  ASSERT_EQ(panels.size(), 2);
  int nextLeft = 0;
  for (int i = 0; i < 2; ++i) {
    const QLabel* panel = panels[i];
    EXPECT_EQ(panel->width(), i == 0 ? 400 : 50);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_GE(panel->x(), nextLeft);
    EXPECT_LE(panel->geometry().right(), w.StatusBar1->width() - 1);
    EXPECT_GE(panel->height(), panel->sizeHint().height());
    nextLeft = panel->geometry().right();
  }
  EXPECT_GE(panels[1]->width(), panels[1]->sizeHint().width()) << "COM1 clipped";
}

TEST_F(WindowTest, LabelGrowsToItsTextWithTheLeftEdgeFixedAndStaysAboveTheStatusBar) {
  TForm1& w = MakeWindow();
  w.show();
  for (const char* text : {"0 %", "7 %", "66 %", "100 %"}) {
    w.SetProgress(0, text);
    EXPECT_EQ(w.Label1->text(), text);
    EXPECT_EQ(w.Label1->x(), 216) << text;
    EXPECT_GE(w.Label1->width(), w.Label1->sizeHint().width()) << text;
    EXPECT_GE(w.Label1->height(), w.Label1->sizeHint().height()) << text;
    const QRect onWindow(w.Label1->mapTo(&w, QPoint(0, 0)), w.Label1->size());
    EXPECT_LE(onWindow.bottom(), w.StatusBar1->geometry().top()) << text;
    EXPECT_LE(onWindow.right(), w.width()) << text;
  }
}

TEST_F(WindowTest, SmallerMaximumClampsTheBarInsteadOfEmptyingIt) {
  TForm1& w = MakeWindow();
  w.SetProgressMax(10);
  w.SetProgress(8, "80 %");
  w.SetProgressMax(4);
  EXPECT_EQ(w.ProgressBar1->maximum(), 4);
  EXPECT_EQ(w.ProgressBar1->value(), 4);
  w.SetProgressMax(20);
  EXPECT_EQ(w.ProgressBar1->value(), 4);
  EXPECT_EQ(w.Label1->text(), "80 %");
}

TEST_F(WindowTest, CloseWhileIdleEndsAtOnceWithoutPause) {
  TForm1& w = MakeWindow();
  w.show();
  EXPECT_TRUE(w.close());
  EXPECT_FALSE(w.isVisible());
  EXPECT_EQ(clock.now, 0u);
  EXPECT_EQ(port.shutdowns, 0);
}

TEST_F(WindowTest, CloseDuringDownloadShutsThePortAndTheDownloadEndsNormally) {
  const QString file = WriteHex("app.hex", PagesFile({257, 258}));
  TForm1& w = MakeWindow();
  w.show();
  Load(file);
  WhenEventsRun([&] { EXPECT_FALSE(w.close()) << "the window must wait for the download"; });
  w.Send1->trigger();

  EXPECT_EQ(port.shutdowns, 1);
  EXPECT_EQ(port.writes.size(), 0u) << "the erase met a shut port";
  ASSERT_EQ(prompts.Texts(), std::vector<QString>{"Communication error during memory erasing"});
  EXPECT_TRUE(prompts.shown[0].windowVisible);
  EXPECT_FALSE(w.Busy);
  EXPECT_FALSE(w.isVisible()) << "closed once the download had ended";
  EXPECT_FALSE(port.IsOpen());
}

TEST_F(WindowTest, CloseDuringLoadRunsTheLoadToItsEndAndClosesTheFile) {
  std::string text;
  for (uint16_t page = 256; page < 300; ++page) text += PagesFile({page}, false);
  const QString file = WriteHex("long.hex", text + EndRecord);
  TForm1& w = MakeWindow();
  w.show();
  int pumpsAfterClose = 0;
  WhenEventsRun([&] {
    w.close();
    // Anything still posted must wait: the closing window handles no more events inside the load.
    WhenEventsRun([&] { ++pumpsAfterClose; });
  });
  Load(file);

  EXPECT_EQ(pumpsAfterClose, 0);
  EXPECT_FALSE(w.isVisible());
  EXPECT_FALSE(w.IsLoading());
  EXPECT_TRUE(w.StatusPanelText(0).startsWith("Loaded file: "));
  EXPECT_TRUE(w.Image.IsPageUsed(299));
  // No descriptor of this process still refers to the file.
  const std::filesystem::path target = std::filesystem::canonical(file.toStdString());
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    EXPECT_NE(std::filesystem::read_symlink(fd.path(), ignored), target);
  }
}

}  // namespace
}  // namespace kv::test
