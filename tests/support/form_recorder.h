// A form for tests of the window's behaviour: keeps what a person would see on the window (panel texts
// and tip, the check, the items' tips, bar, label, caption) and answers the file dialog from a script.
// Message boxes are noted with panel 0's text at that moment. onPump runs inside ProcessMessages, where
// a real window would run a menu command or its close box; Close asks the behaviour again, as a close
// box would.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ui/form.h"
#include "ui/window.h"

namespace kv::test {

class FormRecorder : public Form {
 public:
  struct Shown {
    std::string text;
    std::string panel0;  // status panel 0 when the box came up
    bool visible;        // had the window been shown then?
  };

  void SetCaption(std::string_view text) override { caption = text; }
  void SetPanelText(Panel panel, std::string_view text) override {
    panels[static_cast<size_t>(panel)] = text;
  }
  void SetPanelTip(std::string_view text) override { panelTip = text; }
  void CheckPortItem(int n) override { checkedItem = n; }
  void SetPortItemTip(int n, std::string_view text) override {
    itemTips.resize(std::max<size_t>(itemTips.size(), static_cast<size_t>(n)));
    itemTips[static_cast<size_t>(n - 1)] = text;
  }
  void SetProgressBar(uint16_t maximum, uint16_t position) override {
    progressMax = maximum;
    progressPosition = position;
  }
  void SetLabelText(std::string_view text) override { label = text; }
  void ShowMessage(std::string_view text) override {
    shown.push_back({std::string(text), panels[0], visible});
    if (onMessage) onMessage(shown.back().text);
  }
  bool ChooseFile(std::span<const FileChoice> offered, std::string& path) override {
    ++dialogs;
    choices.assign(offered.begin(), offered.end());
    panel0AtDialog = panels[0];
    if (answers.empty()) return false;
    const std::optional<std::string> answer = answers.front();
    answers.pop_front();
    if (!answer) return false;  // the person cancels
    path = *answer;
    return true;
  }
  std::string DisplayPath(std::string_view nativePath) override { return std::string(nativePath); }
  void ProcessMessages() override {
    ++pumps;
    if (onPump) onPump();
  }
  void Close() override {
    ++closeCalls;
    if (behaviour && behaviour->FormClose()) visible = false;
  }

  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const Shown& s : shown) texts.push_back(s.text);
    return texts;
  }

  // Set by the test: the behaviour that Close asks, and whether the window is on screen.
  TForm1* behaviour = nullptr;
  bool visible = false;

  std::string caption;
  std::string panels[2];
  std::string panelTip;
  int checkedItem = 0;  // 0: no item carries the check
  std::vector<std::string> itemTips;
  uint16_t progressMax = 100;
  uint16_t progressPosition = 0;
  std::string label = "0 %";
  std::vector<Shown> shown;
  std::function<void(const std::string&)> onMessage;
  std::deque<std::optional<std::string>> answers;  // one per dialog; nullopt cancels
  int dialogs = 0;
  std::vector<FileChoice> choices;
  std::string panel0AtDialog;
  int pumps = 0;
  std::function<void()> onPump;
  int closeCalls = 0;
};

}  // namespace kv::test
