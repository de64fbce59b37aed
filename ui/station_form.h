// The station window's form: everything the station window's behaviour (StationWindow,
// ui/station_window.h) needs from a toolkit, and nothing more. The Qt window (ui/qt/) and the Win32
// window (ui/win32/) implement it; tests record it.
//
// The behaviour keeps what the window shows as one plain value (StationScreen) and hands it over whole;
// a form draws it and decides nothing. Contract for every implementation:
//  - every call comes on the window's one thread, except Post, which may come from any thread;
//  - Show is called at most about five times a second (the behaviour coalesces the station's events), so
//    it may simply redraw everything;
//  - the window's commands (Open…, Start/Stop, Flash all, Exit) and its close box go to the behaviour's
//    handlers; each is reachable from the keyboard (Open… Ctrl+O, Start/Stop F9, Flash all F5, Exit
//    Alt+F4 or the menu);
//  - the message box and the file dialog return only once the person has answered them.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ui/form.h"

namespace kv {

// What a slot's tile shows.
enum class TileState {
  Waiting,    // no board in the slot (or its last one was taken out): "Waiting for a board"
  LeftAlone,  // a board was there at Start: it is left alone until taken out and put back
  Flashing,   // a board is being flashed: a progress bar and its percentage
  Passed,     // the last board passed (green), with its time; stays until the board is taken out
  Failed,     // the last board failed (red), with the outcome and its cause; stays until taken out
};

// One slot: where a board is plugged in.
struct TileScreen {
  std::string slot;     // the slot's name: the USB socket, or the port's own name
  std::string adapter;  // the present board's adapter (by-id name, Windows' friendly name); "" none
  TileState state = TileState::Waiting;
  std::string headline;  // "Waiting for a board", "Flashing 42 %", "Passed in 1.5 s", "Failed"
  std::string detail;    // Failed: the outcome text and the cause; LeftAlone: what to do; else ""
  unsigned percent = 0;  // Flashing: 0 to 100

  bool operator==(const TileScreen&) const = default;
};

// The station window as a whole, drawn whole.
struct StationScreen {
  std::string caption;              // the window's title
  std::vector<std::string> header;  // the file (name and kind), its pages, its SHA-256 (12 digits),
                                    // the time per board, where the log goes: one line each
  std::vector<TileScreen> tiles;    // the slots seen since Start, in a stable order
  std::string tally;                // "passed 41 · failed 2 · flashing 3", drawn large (>= 24 pt)
  std::string rate;                 // "38 boards per hour" since Start; "" before the first board
  std::string notice;               // a line for the operator: why Start is refused, "Stopping once…"
  std::string startStopCaption;     // "Start" or "Stop"
  bool canStartStop = false;        // Start needs a file that can be flashed and a log that can be written
  bool canOpen = false;             // only while stopped: nothing that changes what is flashed while running
  bool canFlashAll = false;         // while running
};

class StationForm {
 public:
  virtual ~StationForm() = default;

  // Draws the screen (every part of it).
  virtual void Show(const StationScreen& screen) = 0;
  // Draws the eye to the window from elsewhere: the taskbar entry flashes (QApplication::alert,
  // FlashWindowEx). Called when a board fails.
  virtual void Alert() = 0;
  // A modal box titled with the program's name, showing text with a single OK button.
  virtual void ShowMessage(std::string_view text) = 0;
  // The modal file-open dialog, as Form::ChooseFile.
  virtual bool ChooseFile(std::span<const FileChoice> choices, std::string& path) = 0;
  // A native path as UTF-8 text for the header.
  virtual std::string DisplayPath(std::string_view nativePath) = 0;
  // Runs `task` on the window's thread as soon as it can; callable from any thread, also while the
  // window closes (a task that comes after the window has gone is dropped).
  virtual void Post(std::function<void()> task) = 0;
  // Calls the behaviour's Tick on the window's thread every `ms` milliseconds from now on.
  virtual void StartTicks(unsigned ms) = 0;
  // Closes the window for good (the behaviour has agreed); the program then exits with 0.
  virtual void Close() = 0;
};

}  // namespace kv
