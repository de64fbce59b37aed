// "Send" from the window with the real serial port and clock, to the kv6193-sim device on a
// pseudo-terminal: what the bar and the label show page by page, what the device ends up holding, and
// that closing the window in the middle frees the line.
#include <cstdlib>

#include "line/system_clock.h"
#include "ports/system_port.h"
#include "tests/support/sim_process.h"
#include "tests/ui/hex_text.h"
#include "tests/ui/window_fixture.h"

namespace kv::test {
namespace {

// The window's behaviour on the real line, noting what the bar and the label show after every programmed
// page.
class ObservedWindow : public TForm1 {
 public:
  struct Seen {
    int maximum;
    int position;
    std::string label;
    friend bool operator==(const Seen&, const Seen&) = default;
  };
  ObservedWindow(FormRecorder& form, Port& port, Clock& clock, const PortDirectory& ports)
      : TForm1(form, port, clock, ports), form_(form) {}
  void SetProgress(uint16_t position, std::string_view label) override {
    TForm1::SetProgress(position, label);
    seen.push_back({form_.progressMax, form_.progressPosition, form_.label});
    if (afterPage) afterPage();
  }
  std::vector<Seen> seen;
  std::function<void()> afterPage;

 private:
  FormRecorder& form_;
};

void PrintTo(const ObservedWindow::Seen& s, std::ostream* os) {
  *os << s.position << "/" << s.maximum << " \"" << s.label << "\"";
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
    auto owned = std::make_unique<ObservedWindow>(form, realPort, realClock, ports);
    ObservedWindow& observed = *owned;
    StartWindow(std::move(owned));
    return observed;
  }

  SystemClock realClock;
  SystemPort realPort{realClock, ports};  // COM1 as the window opens it: LD6193_COM1
  SimProcess sim;
  std::string dump;
};

TEST_F(SendTest, DownloadShowsEveryPageAndTheDeviceHoldsTheFile) {
  // A Sector0 file on pages 1 to 3: page 0 is forced, so four pages and then the finish command.
  const std::string file = WriteHex("boot.hex", PagesFile({1, 2, 3}));
  ObservedWindow& w = MakeObservedWindow();
  Load(file);
  w.Send1Click();

  ASSERT_EQ(form.Texts(), std::vector<std::string>{"File successfully loaded"});
  EXPECT_EQ(form.panels[0], "File successfully loaded...");
  const std::vector<ObservedWindow::Seen> expected{
      {4, 1, "25 %"}, {4, 2, "50 %"}, {4, 3, "75 %"}, {4, 4, "100 %"}};
  EXPECT_EQ(w.seen, expected);
  EXPECT_EQ(form.label, "100 %");
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
  const std::string file = WriteHex("big.hex", text + EndRecord);
  ObservedWindow& w = MakeObservedWindow();
  Load(file);
  bool openAfterClose = true;
  w.afterPage = [&] {
    if (w.seen.size() != 2) return;
    form.Close();
    openAfterClose = w.SerialPort().IsOpen();
  };
  w.Send1Click();

  EXPECT_FALSE(openAfterClose) << "the close must shut the port at once";
  EXPECT_EQ(w.seen.size(), 2u) << "no page may go out after the close";
  EXPECT_EQ(form.Texts(), std::vector<std::string>{"Serial communication error"});
  EXPECT_FALSE(w.Busy);
  EXPECT_FALSE(form.visible);

  SystemClock clock;
  SystemPort next(clock, ports);
  EXPECT_EQ(next.OpenPort(1), 0) << "the line is still held";
  next.ClosePort();
}

}  // namespace
}  // namespace kv::test
