// What is Qt's own in the window: the layout of the real widgets, the label that sizes itself, the
// caption under locales that write other digits, and the menu, tips and close box wired to the shared
// behaviour (whose rules are tested once, on a recording form, in tests/ui).
#include <gtest/gtest.h>

#include <QAction>
#include <QActionGroup>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QStatusBar>
#include <QTimer>
#include <memory>

#include "tests/support/fake_port.h"
#include "tests/support/fake_tree.h"
#include "tests/ui/hex_text.h"
#include "tests/ui/qt/scripted_prompts.h"
#include "tests/ui/work_dir.h"

namespace kv::test {
namespace {

class QtWindowTest : public ::testing::Test {
 protected:
  QtWindow& MakeWindow() {
    window = std::make_unique<QtWindow>(prompts, port, clock, ports);
    return *window;
  }
  TempWorkDir dir;
  FakeTree tree;
  PortDirectory ports = tree.Ports();
  ScriptedPrompts prompts;
  VirtualClock clock;
  FakePort port{clock};
  std::unique_ptr<QtWindow> window;
};

TEST_F(QtWindowTest, LayoutMatchesTheDesign) {
  QtWindow& w = MakeWindow();
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
  EXPECT_EQ(w.ProgressBar1->maximum(), 100);
  EXPECT_EQ(w.ProgressBar1->value(), 0);
  EXPECT_FALSE(w.ProgressBar1->isTextVisible());
  EXPECT_EQ(w.Label1->pos(), QPoint(216, 112));
  EXPECT_EQ(w.Label1->text(), "0 %");
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

TEST_F(QtWindowTest, LabelGrowsToItsTextWithTheLeftEdgeFixedAndStaysAboveTheStatusBar) {
  QtWindow& w = MakeWindow();
  w.show();
  for (const char* text : {"0 %", "7 %", "66 %", "100 %"}) {
    w.SetLabelText(text);
    EXPECT_EQ(w.Label1->text(), text);
    EXPECT_EQ(w.Label1->x(), 216) << text;
    EXPECT_GE(w.Label1->width(), w.Label1->sizeHint().width()) << text;
    EXPECT_GE(w.Label1->height(), w.Label1->sizeHint().height()) << text;
    const QRect onWindow(w.Label1->mapTo(&w, QPoint(0, 0)), w.Label1->size());
    EXPECT_LE(onWindow.bottom(), w.StatusBar1->geometry().top()) << text;
    EXPECT_LE(onWindow.right(), w.width()) << text;
  }
}

TEST_F(QtWindowTest, CaptionReadsOnePointOneUnderLocalesWithOtherSeparatorsAndDigits) {
  const QString expected = QStringLiteral("KV6193 System File Loader Ver 1.1    (c) 2026 KV6193 Tools");
  const QLocale before;
  for (const char* name : {"de_DE", "cs_CZ", "ar_EG", "fa_IR"}) {
    QLocale::setDefault(QLocale(name));
    EXPECT_EQ(MakeWindow().windowTitle(), expected) << name;
  }
  QLocale::setDefault(before);
  // The check above only means something if Qt would write those locales' numbers otherwise.
  EXPECT_NE(QLocale("ar_EG").toString(1.1), "1.1");
}

TEST_F(QtWindowTest, MenuCommandsReachTheBehaviour) {
  QtWindow& w = MakeWindow();
  EXPECT_TRUE(w.COM11->isChecked());
  w.COM31->trigger();
  EXPECT_TRUE(w.COM31->isChecked());
  EXPECT_FALSE(w.COM11->isChecked());
  EXPECT_EQ(w.StatusPanelText(1), "COM3");
  EXPECT_EQ(ReadFile(PortSettingFileName), Bytes{0x03});

  WriteText("app.hex", PagesFile({257}));
  prompts.answers.push_back(QString::fromStdString((dir.Path() / "app.hex").string()));
  w.LoadFile1->trigger();
  EXPECT_EQ(prompts.lastFilter, "Loader 619x (*.hex);;All files (*.*)");
  EXPECT_TRUE(w.StatusPanelText(0).startsWith("Loaded file: "));
  w.Send1->trigger();
  EXPECT_EQ(port.openedPorts, std::vector<int>{3});
}

TEST_F(QtWindowTest, PortItemsAndTheStatusPanelCarryTheirTips) {
  QtWindow& w = MakeWindow();
  for (QAction* item : {w.COM11, w.COM21, w.COM31, w.COM41}) {
    EXPECT_TRUE(item->toolTip().startsWith(item->text() + " ")) << item->toolTip().toStdString();
    EXPECT_EQ(item->statusTip(), item->toolTip());
  }
  EXPECT_TRUE(w.Setup1->toolTipsVisible());

  port.openFails = true;
  port.openError = {OpenFailure::Busy, "/dev/ttyS0", "held by another flasher"};
  w.Send1->trigger();
  EXPECT_EQ(prompts.Texts(), std::vector<QString>{"Serial communication error"});
  EXPECT_EQ(w.StatusPanelText(0), "Serial communication error");
  EXPECT_EQ(w.StatusPanelTip(0), QString::fromStdString(DescribeOpenError(port.openError)));
}

TEST_F(QtWindowTest, PortItemTipsAreWorkedOutAgainEachTimeTheSetupMenuOpens) {
  const std::string adapter = "usb-FTDI_FT232R_A9-if00-port0";
  QtWindow& w = MakeWindow();
  w.show();
  EXPECT_EQ(w.COM11->toolTip(), "COM1 \u2014 not present");
  const auto openSetup = [&w] {
    w.Setup1->popup(w.mapToGlobal(QPoint(0, 0)));
    w.Setup1->hide();
  };
  tree.Adapter("ttyUSB0", "1-1", "FTDI", "FT232R", adapter);
  openSetup();
  EXPECT_EQ(w.COM11->toolTip(),
            QString::fromStdString("COM1 \u2014 " + tree.Dev("ttyUSB0") + ", FTDI FT232R"));
  tree.Unplug("ttyUSB0");
  openSetup();
  EXPECT_EQ(w.COM11->toolTip(), QString::fromStdString("COM1 \u2014 not present, kept for " + adapter));
  EXPECT_EQ(w.COM11->statusTip(), w.COM11->toolTip());
}

TEST_F(QtWindowTest, CloseBoxDuringALoadWaitsForItsEnd) {
  std::string text;
  for (uint16_t page = 256; page < 300; ++page) text += PagesFile({page}, false);
  WriteText("long.hex", text + EndRecord);
  QtWindow& w = MakeWindow();
  w.show();
  bool closedAtOnce = true;
  QTimer::singleShot(0, &w, [&] { closedAtOnce = w.close(); });
  prompts.answers.push_back(QString::fromStdString((dir.Path() / "long.hex").string()));
  w.LoadFile1->trigger();

  EXPECT_FALSE(closedAtOnce);
  EXPECT_FALSE(w.isVisible()) << "closed once the load had ended";
  EXPECT_TRUE(w.StatusPanelText(0).startsWith("Loaded file: "));
}

}  // namespace
}  // namespace kv::test
