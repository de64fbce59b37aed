// The window's modal prompts: the one-button message box and the file-open dialog. The window asks
// through this seam so that tests can answer in place of a person; QtPrompts is the real thing.
#pragma once

#include <QString>
#include <span>
#include <string>
#include <string_view>

#include "ui/form.h"

class QWidget;

namespace kv {

class WindowPrompts {
 public:
  virtual ~WindowPrompts() = default;
  // A modal box titled with the application's name, showing text with a single OK button; returns once
  // it has been dismissed.
  virtual void ShowMessage(QWidget* parent, const QString& text) = 0;
  // A modal file-open dialog offering the filter's choices (the first one active). Returns true with
  // the chosen path as typed or picked (it need not exist), false when the user cancels.
  virtual bool ChooseFile(QWidget* parent, const QString& filter, QString& path) = 0;
};

class QtPrompts : public WindowPrompts {
 public:
  void ShowMessage(QWidget* parent, const QString& text) override;
  bool ChooseFile(QWidget* parent, const QString& filter, QString& path) override;
};

// The core's UTF-8 text as Qt's.
QString FromUtf8(std::string_view text);
// Both windows' file-open dialog: the choices' names as the filter (Qt reads each choice's patterns
// from the parentheses of its name); the chosen path in the file system's encoding.
bool ChooseFileAmong(WindowPrompts& prompts, QWidget* parent, std::span<const FileChoice> choices,
                     std::string& path);
// A native path as UTF-8 text.
std::string DisplayNativePath(std::string_view nativePath);

}  // namespace kv
