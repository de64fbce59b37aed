// The program's life on Qt: the application object that shows any exception escaping a handler in a
// message box and carries on, and RunProgram, which creates the window (its start-up runs before it is
// first shown), loads the file the program was started with, runs the event loop until the window
// closes, and always ends with exit code 0.
#pragma once

#include <QApplication>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "ui/qt/prompts.h"

namespace kv {

class LoaderApplication : public QApplication {
 public:
  LoaderApplication(int& argc, char** argv, WindowPrompts& prompts);

  // Delivers the event; an exception thrown while handling it is shown, and the loop goes on.
  bool notify(QObject* receiver, QEvent* event) override;
  // The standard display of an exception: its message in a box titled with the program's name.
  void ShowException(std::string_view message);
  // Runs `work`; an exception that escapes it is shown, and the program carries on.
  template <class Work>
  void Guard(Work&& work) {
    try {
      work();
    } catch (const std::exception& error) {
      ShowException(error.what());
    } catch (...) {
      ShowException("");  // nothing to tell but that it happened
    }
  }
  WindowPrompts& Prompts() { return prompts_; }

 private:
  WindowPrompts& prompts_;
};

// Creates the window on the real serial line, shows it, loads startFile (a native path) as "Load File"
// would, and runs the loop until the window closes. Exceptions that escape are shown. Returns 0
// whatever happened.
int RunProgram(LoaderApplication& application, const std::optional<std::string>& startFile = std::nullopt);

}  // namespace kv
