// A window of its own for each test, in a fresh working directory, with scripted prompts and, unless
// a test wants the real serial line, a fake port on virtual time that answers like a healthy device.
#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QTimer>
#include <memory>

#include "tests/support/fake_port.h"
#include "tests/ui/scripted_prompts.h"
#include "tests/ui/work_dir.h"
#include "ui/main_window.h"

namespace kv::test {

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port.responder = [](FakePort& line, const std::vector<uint8_t>& packet) {
      if (packet.size() > 1 && packet[1] == 0x13) {
        line.QueueReply(0xE5);  // finish: acknowledge only
      } else {
        line.QueueReplies({0xE5, 0x68});
      }
    };
  }

  TForm1& MakeWindow() {
    window = std::make_unique<TForm1>(prompts, &port, &clock);
    return *window;
  }

  // Path of a file written into the working directory.
  QString WriteHex(const std::string& name, const std::string& text) {
    WriteText(dir.Path() / name, text);
    return QString::fromStdString((dir.Path() / name).string());
  }

  // Loads a file through the menu command, answering the dialog with `path`.
  void Load(const QString& path) {
    prompts.answers.push_back(path);
    window->LoadFile1->trigger();
  }

  // Runs `action` from the event loop the next time the window lets it turn (inside a load or a
  // download, as a menu command chosen by the user would).
  // The window is the timer's context, so an action that never ran cannot outlive the test.
  void WhenEventsRun(std::function<void()> action) { QTimer::singleShot(0, window.get(), std::move(action)); }

  // 1 to 4 for the one checked port item, 0 for none, -1 for more than one.
  int CheckedItem() const {
    const std::array<QAction*, 4> items{window->COM11, window->COM21, window->COM31, window->COM41};
    int checked = 0;
    for (int i = 0; i < 4; ++i) {
      if (!items[static_cast<size_t>(i)]->isChecked()) continue;
      checked = checked ? -1 : i + 1;
    }
    return checked;
  }

  TempWorkDir dir;
  ScriptedPrompts prompts;
  VirtualClock clock;
  FakePort port{clock};
  std::unique_ptr<TForm1> window;
};

}  // namespace kv::test
