// The form: everything the window's behaviour (TForm1, ui/window.h) needs from a toolkit, and nothing
// more. The Qt window (ui/qt/) and the Win32 window (ui/win32/) implement it; tests record it.
//
// Contract for every implementation:
//  - every call comes on the window's one thread, and every text is UTF-8 except where a path is said
//    to be native (the encoding the platform's file calls take: bytes on POSIX, the ANSI code page on
//    Windows);
//  - the calls only show what they are told; no call reaches back into TForm1, except ProcessMessages
//    (commands chosen meanwhile run from inside it) and Close (which asks TForm1::FormClose);
//  - the message box and the file dialog may come up before the window is first shown (start-up), and
//    return only once the person has answered them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kv {

// The status bar's two panels.
enum class Panel : int {
  Main = 0,  // what the program is doing, or what the last command achieved
  Port = 1,  // the selected port, "COM%i"
};

// One choice of the file-open dialog: the text the person reads and the names it lists.
struct FileChoice {
  std::string_view name;     // "Loader 619x (*.hex)"
  std::string_view pattern;  // "*.hex"; "*.*" lists every file, also names without a full stop
};

class Form {
 public:
  virtual ~Form() = default;

  // The window's title bar.
  virtual void SetCaption(std::string_view text) = 0;
  // Replaces the text of a status panel; a path in it is shown as it is, never as markup.
  virtual void SetPanelText(Panel panel, std::string_view text) = 0;
  // The tooltip of status panel 0: why its text came about (a port's open failure, where a file is
  // broken). Empty removes it.
  virtual void SetPanelTip(std::string_view text) = 0;
  // Puts the check on port item n (1 to 4); the items are one radio group, so the others lose it.
  // Never called with another n.
  virtual void CheckPortItem(int n) = 0;
  // Tooltip and status-bar tip of port item n (1 to 4): which device the item stands for, and on a
  // second line, where there is one, why the COM numbers are not the lasting ones.
  virtual void SetPortItemTip(int n, std::string_view text) = 0;
  // The progress bar's maximum and position; the minimum is always 0 and position <= maximum.
  virtual void SetProgressBar(uint16_t maximum, uint16_t position) = 0;
  // The percentage label's text ("66 %"); the label sizes itself to it with its left edge fixed.
  virtual void SetLabelText(std::string_view text) = 0;

  // A modal box titled with the program's name, showing text with a single OK button.
  virtual void ShowMessage(std::string_view text) = 0;
  // The modal file-open dialog offering the choices (the first active), no title, no start folder and
  // no default extension of its own. Returns true with the confirmed native path, as typed or picked
  // (it need not exist), or false when the person cancels.
  virtual bool ChooseFile(std::span<const FileChoice> choices, std::string& path) = 0;
  // A native path as UTF-8 text for the status bar.
  virtual std::string DisplayPath(std::string_view nativePath) = 0;

  // Handles every pending window event (menu commands and the close box included), then returns.
  virtual void ProcessMessages() = 0;
  // Closes the window as its close box would: the front end asks TForm1::FormClose, which now agrees.
  virtual void Close() = 0;
};

}  // namespace kv
