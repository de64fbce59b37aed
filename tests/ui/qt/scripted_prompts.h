// Answers the window's message boxes and file dialog in place of a person, and remembers what the
// window showed at each prompt. The test program's application object uses ApplicationPrompts().
#pragma once

#include <QString>
#include <QWidget>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "ui/main_window.h"
#include "ui/prompts.h"

namespace kv::test {

class ScriptedPrompts : public WindowPrompts {
 public:
  struct Shown {
    QString text;
    bool windowVisible;  // was the main window on screen when the box came up?
    QString panel0;      // status panel 0 at that moment
  };

  void ShowMessage(QWidget*, const QString& text) override {
    shown.push_back({text, Form1 && Form1->isVisible(), Form1 ? Form1->StatusPanelText(0) : QString()});
    if (onMessage) onMessage(text);
  }

  bool ChooseFile(QWidget*, const QString& filter, QString& path) override {
    ++dialogs;
    lastFilter = filter;
    panel0AtDialog = Form1 ? Form1->StatusPanelText(0) : QString();
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
  QString panel0AtDialog;
};

// The prompts of the test program's application object (exceptions are shown through them).
ScriptedPrompts& ApplicationPrompts();

}  // namespace kv::test
