// Answers the window's message boxes and file dialog in place of a person, and remembers what the
// window showed at each prompt. The test program's application object uses ApplicationPrompts().
#pragma once

#include <QApplication>
#include <QString>
#include <QWidget>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "ui/qt/prompts.h"
#include "ui/qt/qt_window.h"

namespace kv::test {

// The program's window while one exists (RunProgram's own, or a test's).
inline QtWindow* RunningWindow() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* window = dynamic_cast<QtWindow*>(widget)) return window;
  }
  return nullptr;
}

class ScriptedPrompts : public WindowPrompts {
 public:
  struct Shown {
    QString text;
    bool windowVisible;  // was the window that asked on screen when the box came up?
    QString panel0;      // its status panel 0 at that moment
  };

  void ShowMessage(QWidget* parent, const QString& text) override {
    const QtWindow* window = parent ? dynamic_cast<QtWindow*>(parent) : RunningWindow();
    shown.push_back({text, window && window->isVisible(), window ? window->StatusPanelText(0) : QString()});
    if (onMessage) onMessage(text);
  }

  bool ChooseFile(QWidget*, const QString& filter, QString& path) override {
    ++dialogs;
    lastFilter = filter;
    if (answers.empty()) return false;
    const std::optional<QString> answer = answers.front();
    answers.pop_front();
    if (!answer) return false;  // the user cancels
    path = *answer;
    return true;
  }

  std::vector<QString> Texts() const {
    std::vector<QString> texts;
    for (const Shown& s : shown) texts.push_back(s.text);
    return texts;
  }

  void Reset() { *this = ScriptedPrompts(); }

  std::vector<Shown> shown;
  std::function<void(const QString&)> onMessage;
  std::deque<std::optional<QString>> answers;  // one per dialog; nullopt cancels
  int dialogs = 0;
  QString lastFilter;
};

// The prompts of the test program's application object (exceptions are shown through them).
ScriptedPrompts& ApplicationPrompts();

}  // namespace kv::test
