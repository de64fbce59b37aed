// The program's life: the application object that shows any exception escaping a handler in a message
// box and carries on, and RunProgram, which creates the window (its start-up runs before it is first
// shown), runs the event loop until the window closes, and always ends with exit code 0.
#pragma once

#include <QApplication>
#include <string_view>

#include "ui/prompts.h"

namespace kv {

class LoaderApplication : public QApplication {
 public:
  LoaderApplication(int& argc, char** argv, WindowPrompts& prompts);

  // Delivers the event; an exception thrown while handling it is shown, and the loop goes on.
  bool notify(QObject* receiver, QEvent* event) override;
  // The standard display of an exception: its message in a box titled with the program's name.
  void ShowException(std::string_view message);
  WindowPrompts& Prompts() { return prompts_; }

 private:
  WindowPrompts& prompts_;
};

// Creates the window, shows it, runs the loop until it closes. Exceptions that escape are shown.
// Returns 0 whatever happened.
int RunProgram(LoaderApplication& application);

}  // namespace kv
