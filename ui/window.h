// The window's behaviour, once for every toolkit: start-up (FormCreate), the port items, "Load File",
// "Send" and closing, with every text they show, over the program-wide objects that it owns. It draws
// nothing itself: it tells a Form (ui/form.h) what to show and asks it the person's answers. A front end
// builds its widgets, makes a TForm1 over itself, calls FormCreate before the window is first shown, and
// routes its menu commands and its close box to the handlers below, and the opening of the "Setup" menu
// to Setup1Click.
//
// Differences from the window a reader of the handlers might expect, on purpose:
//  - a Send after a load that did not complete sends nothing: it shows that load's result text in a
//    box and in status panel 0 (only a whole file goes to a device);
//  - while a file is being read, "Load File" and "Send" are refused with "Program busy - loading file";
//  - a close while a load or a download runs shuts the port at once, and the window closes as soon as
//    the running command has ended;
//  - status panel 0's tooltip tells why: the cause of a port that would not open, or where a file is
//    broken; each port item's tips name the device it stands for, looked up afresh each time the
//    "Setup" menu opens, and say when the COM numbers could not be kept.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "download/download.h"
#include "image/hex_reader.h"
#include "image/loaded_file.h"
#include "image/memory_image.h"
#include "line/port.h"
#include "ports/port_names.h"
#include "ui/form.h"
#include "ui/port_setting.h"

namespace kv {

inline constexpr double ProgramVersion = 1.1;
inline constexpr std::string_view CaptionPrefix = "KV6193 System File Loader Ver ";
inline constexpr std::string_view MakerNotice = "(c) 2026 KV6193 Tools";
inline constexpr std::string_view LoadBusyMessage = "Program busy - loading file";
inline constexpr std::string_view SendBusyMessage = "Program busy - sending data";

// The file-open dialog's choices, the first active.
inline constexpr std::array<FileChoice, 2> HexFileChoices{{
    {"Loader 619x (*.hex)", "*.hex"},
    {"All files (*.*)", "*.*"},
}};

// The version as the general format writes it at 15 significant digits, with a full stop whatever the
// user's locale: "1.1".
std::string VersionText();
// Prefix, version, four blanks, notice.
std::string WindowCaption();

class TForm1 : public DownloadView, public MessageSink {
 public:
  // The form, port, clock and port directory outlive the window's behaviour; nothing is shown until
  // FormCreate. The port should open COMn as `ports` resolves it, so that the tips are true.
  TForm1(Form& form, Port& port, Clock& clock, const PortDirectory& ports);

  // Handlers, named as the window's designer named them.
  // Caption, the port from the setting file (read, repaired to 1 when not 1 to 5, written back), panel
  // texts, the check, and the port items' tips.
  void FormCreate();
  // The "Setup" menu is about to open: the port items' tips are worked out again.
  void Setup1Click();
  void COM11Click() { ChoosePort(1); }
  void COM21Click() { ChoosePort(2); }
  void COM31Click() { ChoosePort(3); }
  void COM41Click() { ChoosePort(4); }
  void LoadFile1Click();
  void Send1Click();
  // The window is about to close. Shuts the port (a running download's next command then fails).
  // Returns true when the window may close now; false while a load or a download still runs, in which
  // case the window closes itself (Form::Close) as soon as that command has ended.
  bool FormClose();

  // Loads a file given when the program was started, exactly as if it had been confirmed in the
  // "Load File" dialog. nativePath is in the encoding of the platform's file calls.
  void LoadStartFile(std::string_view nativePath);

  // The program-wide objects.
  MemoryImage Image;
  std::string LoadedFileName;
  SystemTime LoadedFileTime;
  int PortNumber = 1;
  BusyFlag Busy;
  std::optional<HexReadResult> LastLoad;  // nullopt until a file has been confirmed

  bool IsLoading() const { return loading_; }
  Port& SerialPort() { return port_; }

  // DownloadView, and the reader's and the setting file's message box.
  void SetStatusText(std::string_view text) override;
  void ShowMessage(std::string_view text) override;
  void SetProgressMax(uint16_t maximum) override;
  void SetProgress(uint16_t position, std::string_view label) override;
  void ProcessMessages() override;

 private:
  void ChoosePort(int n);
  void LoadConfirmedFile(std::string_view nativePath);
  void CloseIfRequested();
  // Gives panel 0's current text a tooltip; the next status text removes it. Nothing for an empty tip.
  void SetPanelTip(const std::string& tip);
  void ShowPortItemTips();

  Form& form_;
  Port& port_;
  Clock& clock_;
  const PortDirectory& ports_;
  uint16_t progressMax_;
  uint16_t progressPosition_ = 0;
  std::string lastLoadTip_;      // why the last load failed, for a Send that refuses its remains
  bool tipShown_ = false;        // panel 0 carries a tooltip that its next text would outdate
  bool loading_ = false;         // between a confirmed file and the reader's return
  bool closeRequested_ = false;  // a close arrived while a load or a download ran
};

// The real serial port, clock and port directory a window runs on.
struct WindowLink {
  std::unique_ptr<Clock> clock;
  std::unique_ptr<PortDirectory> ports;
  std::unique_ptr<Port> port;  // opens COMn as `ports` resolves it
};
WindowLink MakeWindowLink();

// The port items' handlers in the order of their items ("COM1" first), for front ends that hold the
// items in a table.
inline constexpr std::array<void (TForm1::*)(), 4> PortItemHandlers = {
    &TForm1::COM11Click, &TForm1::COM21Click, &TForm1::COM31Click, &TForm1::COM41Click};

}  // namespace kv
