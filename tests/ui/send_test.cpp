// "Send" from the window with the real serial port and clock, to the kv6193-sim device on a
// pseudo-terminal: what the bar and the label show page by page, what the device ends up holding, and
// that closing the window in the middle frees the line.
#include <QLabel>
#include <QProgressBar>
#include <cstdlib>

#include "link/posix_port.h"
#include "link/system_clock.h"
#include "tests/support/sim_process.h"
#include "tests/ui/hex_text.h"
#include "tests/ui/window_fixture.h"

namespace kv::test {
namespace {

// The real window, noting what the bar and the label show after every programmed page.
class ObservedWindow : public TForm1 {
 public:
  struct Seen {
    int maximum;
    int position;
    QString label;
    friend bool operator==(const Seen&, const Seen&) = default;
  };
  explicit ObservedWindow(WindowPrompts& prompts) : TForm1(prompts) {}
  void SetProgress(uint16_t position, std::string_view label) override {
    TForm1::SetProgress(position, label);
    seen.push_back({ProgressBar1->maximum(), ProgressBar1->value(), Label1->text()});
    if (afterPage) afterPage();
  }
  std::vector<Seen> seen;
  std::function<void()> afterPage;
};

void PrintTo(const ObservedWindow::Seen& s, std::ostream* os) {
  *os << s.position << "/" << s.maximum << " \"" << s.label.toStdString() << "\"";
}

class SendTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    dump = (dir.Path() / "flash.bin").string();
    ASSERT_TRUE(sim.Start({"--dump", dump})) << sim.error();
    setenv("LD6193_COM1", sim.ptyPath().c_str(), 1);
  }
  void TearDown() override { unsetenv("LD6193_COM1"); }

  ObservedWindow& MakeObservedWindow() {
    auto owned = std::make_unique<ObservedWindow>(prompts);
    ObservedWindow& observed = *owned;
    window = std::move(owned);
    return observed;
  }

  SimProcess sim;
  std::string dump;
};

TEST_F(SendTest, DownloadShowsEveryPageAndTheDeviceHoldsTheFile) {
  // A Sector0 file on pages 1 to 3: page 0 is forced, so four pages and then the finish command.
  const QString file = WriteHex("boot.hex", PagesFile({1, 2, 3}));
  ObservedWindow& w = MakeObservedWindow();
  Load(file);
  w.Send1->trigger();

  ASSERT_EQ(prompts.Texts(), std::vector<QString>{"File successfully loaded"});
  EXPECT_EQ(w.StatusPanelText(0), "File successfully loaded...");
  const std::vector<ObservedWindow::Seen> expected{
      {4, 1, "25 %"}, {4, 2, "50 %"}, {4, 3, "75 %"}, {4, 4, "100 %"}};
  EXPECT_EQ(w.seen, expected);
  EXPECT_EQ(w.Label1->text(), "100 %");
  EXPECT_FALSE(w.Busy);
  EXPECT_FALSE(w.SerialPort().IsOpen());

  // The device wrote its flash out after the finish command.
  const std::optional<Bytes> flash = ReadFile(dump);
  ASSERT_TRUE(flash.has_value());
  ASSERT_EQ(flash->size(), 0x80000u);
  for (uint32_t page : {1u, 2u, 3u}) {
    for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ((*flash)[page * 256 + i], static_cast<uint8_t>(page + i));
  }
  EXPECT_EQ((*flash)[38], 0xAA) << "identification block sealed into page 0";
  EXPECT_EQ((*flash)[39], 0x55);
  EXPECT_EQ(sim.Stop(), 0);
}

TEST_F(SendTest, ClosingTheWindowDuringADownloadReleasesTheLine) {
  std::string text;
  for (uint16_t page = 1; page < 40; ++page) text += PagesFile({page}, false);
  const QString file = WriteHex("big.hex", text + EndRecord);
  ObservedWindow& w = MakeObservedWindow();
  w.show();
  Load(file);
  bool openAfterClose = true;
  w.afterPage = [&] {
    if (w.seen.size() != 2) return;
    w.close();
    openAfterClose = w.SerialPort().IsOpen();
  };
  w.Send1->trigger();

  EXPECT_FALSE(openAfterClose) << "the close must shut the port at once";
  EXPECT_EQ(w.seen.size(), 2u) << "no page may go out after the close";
  EXPECT_EQ(prompts.Texts(), std::vector<QString>{"Serial communication error"});
  EXPECT_FALSE(w.Busy);
  EXPECT_FALSE(w.isVisible());

  SystemClock clock;
  PosixPort next(clock);
  EXPECT_EQ(next.OpenPort(1), 0) << "the line is still held";
  next.ClosePort();
}

}  // namespace
}  // namespace kv::test
