// The program's life under its application object: exceptions from handlers are shown and the loop
// goes on, the setting file's messages come before the window, and the run always ends with 0.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <stdexcept>

#include "tests/ui/qt/scripted_prompts.h"
#include "tests/ui/work_dir.h"
#include "ui/qt/application.h"

namespace kv::test {
namespace {

LoaderApplication& App() {
  return *static_cast<LoaderApplication*>(QCoreApplication::instance());
}

// Handles every event by throwing what it was given.
class ThrowingObject : public QObject {
 public:
  explicit ThrowingObject(std::function<void()> thrower) : thrower_(std::move(thrower)) {}
  bool event(QEvent*) override {
    thrower_();
    return true;
  }

 private:
  std::function<void()> thrower_;
};

class ApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override { ApplicationPrompts().Reset(); }
  void TearDown() override { ApplicationPrompts().Reset(); }
};

TEST_F(ApplicationTest, ExceptionInAHandlerIsShownAndEventsGoOn) {
  const std::pair<std::function<void()>, QString> cases[] = {
      {[] { throw std::runtime_error("Disk on fire"); }, "Disk on fire"},
      {[] { throw std::out_of_range(""); }, ""},
      {[] { throw 42; }, ""},  // not an exception class: shown with an empty message
  };
  for (const auto& [thrower, text] : cases) {
    ApplicationPrompts().Reset();
    ThrowingObject target(thrower);
    QEvent event(QEvent::User);
    EXPECT_FALSE(QCoreApplication::sendEvent(&target, &event));
    EXPECT_EQ(ApplicationPrompts().Texts(), std::vector<QString>{text});
  }
  bool ran = false;
  QTimer::singleShot(0, [&] { ran = true; });
  QCoreApplication::processEvents();
  EXPECT_TRUE(ran);
}

TEST_F(ApplicationTest, RunShowsStartUpMessagesBeforeTheWindowAndEndsWithZero) {
  TempWorkDir dir;
  if (geteuid() != 0) {
    chmod(dir.Path().c_str(), 0555);
  } else {
    std::filesystem::current_path("/proc");
  }
  if (!CannotCreateIn(std::filesystem::current_path())) GTEST_SKIP() << "no folder here refuses new files";

  bool visibleInLoop = false;
  QTimer::singleShot(0, [] { throw std::runtime_error("from a handler"); });
  QTimer::singleShot(0, [&] {
    visibleInLoop = RunningWindow() && RunningWindow()->isVisible();
    if (RunningWindow()) RunningWindow()->close();
  });
  EXPECT_EQ(RunProgram(App()), 0);

  const std::vector<ScriptedPrompts::Shown>& shown = ApplicationPrompts().shown;
  ASSERT_EQ(ApplicationPrompts().Texts(),
            (std::vector<QString>{QString::fromUtf8(CannotOpenSettingMessage.data()),
                                  QString::fromUtf8(CannotWriteSettingMessage.data()), "from a handler"}));
  EXPECT_FALSE(shown[0].windowVisible);
  EXPECT_FALSE(shown[1].windowVisible);
  EXPECT_TRUE(shown[2].windowVisible);
  EXPECT_TRUE(visibleInLoop) << "the loop went on after the exception";
  EXPECT_EQ(RunningWindow(), nullptr) << "the window lives only as long as the run";
}

TEST_F(ApplicationTest, FileGivenAtStartShowsLoadedFileAsTheLoopBegins) {
  TempWorkDir dir;
  WriteText("fw.hex", ":0400000001020304F2\n:00000001FF\n");
  const std::string path = (dir.Path() / "fw.hex").string();
  QString panel0;
  QTimer watch;  // looks at each turn of the loop until the load has ended
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (!RunningWindow() || RunningWindow()->Behaviour().IsLoading()) return;
    panel0 = RunningWindow()->StatusPanelText(0);
    if (panel0.startsWith("Loading")) return;
    watch.stop();
    RunningWindow()->close();
  });
  watch.start(0);
  EXPECT_EQ(RunProgram(App(), path), 0);
  EXPECT_EQ(panel0, "Loaded file: " + QString::fromStdString(UpperCasePath(path)));
  EXPECT_TRUE(ApplicationPrompts().shown.empty());
}

}  // namespace
}  // namespace kv::test
