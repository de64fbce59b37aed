// The window's behaviour, for each test in a fresh working directory, on a recording form, a fake machine
// without serial ports and, unless a test wants the real serial line, a fake port on virtual time that
// answers like a healthy device.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/fake_port.h"
#include "tests/support/fake_tree.h"
#include "tests/support/form_recorder.h"
#include "tests/ui/work_dir.h"
#include "ui/window.h"

namespace kv::test {

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port.responder = FakePort::AnswerAsAHealthyLoader;
    form.onPump = [this] {
      // Actions queued from inside an action wait for the next turn, as posted events would.
      std::vector<std::function<void()>> due;
      due.swap(pending_);
      for (auto& action : due) action();
    };
  }

  // Creates the behaviour and runs its start-up, as a front end does before showing the window.
  TForm1& MakeWindow() { return StartWindow(std::make_unique<TForm1>(form, port, clock, ports)); }
  TForm1& StartWindow(std::unique_ptr<TForm1> made) {
    window = std::move(made);
    form.behaviour = window.get();
    window->FormCreate();
    form.visible = true;
    return *window;
  }

  // Path of a file written into the working directory.
  std::string WriteHex(const std::string& name, const std::string& text) {
    WriteText(dir.Path() / name, text);
    return (dir.Path() / name).string();
  }

  // Loads a file through the menu command, answering the dialog with `path`.
  void Load(const std::string& path) {
    form.answers.push_back(path);
    window->LoadFile1Click();
  }

  // Runs `action` the next time the window lets events run (inside a load or a download, as a menu
  // command chosen by the user would).
  void WhenEventsRun(std::function<void()> action) { pending_.push_back(std::move(action)); }

  TempWorkDir dir;
  FakeTree tree;
  PortDirectory ports = tree.Ports();
  FormRecorder form;
  VirtualClock clock;
  FakePort port{clock};
  std::unique_ptr<TForm1> window;

 private:
  std::vector<std::function<void()>> pending_;
};

}  // namespace kv::test
