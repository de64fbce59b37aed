// The station window on Windows, built from the platform's own controls: a menu bar (the "Station"
// menu: Open…, Start/Stop, Flash all, Exit, with Ctrl+O, F9, F5 and Alt+F4 from an accelerator table),
// the header's lines, a grid of tiles (one per slot, each painted whole: the slot, the board's adapter,
// the headline, a smooth progress bar while the board flashes, the detail; green once it passed, red
// once it failed), and a footer with the tally in large type, the rate, the notice and a Start/Stop
// button. It is the StationForm of the toolkit-free behaviour: it draws what StationWindow hands it
// and passes the commands and the close box to its handlers.
//
// Show compares the new screen with the one drawn and repaints only the parts that changed, each tile
// double-buffered, so ten screens a second do not flicker. Tasks posted from other threads wait in a
// queue the form owns; one posted message wakes the window for all that came meanwhile, and whatever
// is still queued when the window goes is destroyed with it.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ui/station_form.h"
#include "ui/win32/win32_common.h"

namespace kv {

class StationWindow;
class StationTile;

// For the scripts that read the running window from outside (tests/ui/win32/window_probe.cpp): the
// window's class, its tiles' class (each tile's text is its lines joined by " | "), and the control ids
// of the header (its lines joined by CR LF) and the tally.
inline constexpr wchar_t StationWindowClass[] = L"KvStation";
inline constexpr wchar_t StationTileClass[] = L"KvStationTile";
inline constexpr int StationHeaderId = 1;
inline constexpr int StationTallyId = 3;

// How every tile draws: its fonts and, in pixels at the window's dpi, its rows' heights.
struct TileLook {
  HFONT slotFont = nullptr;
  HFONT adapterFont = nullptr;
  HFONT headlineFont = nullptr;
  HFONT detailFont = nullptr;
  int slotHeight = 0;
  int adapterHeight = 0;
  int headlineHeight = 0;
  int pad = 0;        // between the edge and the text, and between the headline and what follows
  int barHeight = 0;  // the progress bar's
};

class Win32StationForm : public StationForm {
 public:
  // Builds the window and its controls, hidden; Created() tells whether the platform made it.
  explicit Win32StationForm(HINSTANCE instance);
  ~Win32StationForm() override;
  Win32StationForm(const Win32StationForm&) = delete;
  Win32StationForm& operator=(const Win32StationForm&) = delete;

  bool Created() const { return window_ != nullptr; }
  // From now on the commands, the close box and the ticks go to station's handlers.
  void Attach(StationWindow& station) { station_ = &station; }
  void Present(int showCommand);
  // The message loop, with the window's keyboard shortcuts: runs until the window has gone.
  int RunMessageLoop();

  // StationForm.
  void Show(const StationScreen& screen) override;
  void Alert() override;
  void ShowMessage(std::string_view text) override;
  bool ChooseFile(std::span<const FileChoice> choices, std::string& path) override;
  std::string DisplayPath(std::string_view nativePath) override;
  void Post(std::function<void()> task) override;
  void StartTicks(unsigned ms) override;
  void Close() override;

 private:
  template <class FormClass>
  friend LRESULT CALLBACK FormWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void OnCommand(WORD id);
  void RunPostedTasks();
  void DropPostedTasks();
  void BuildMenu();
  void BuildControls();
  void ShowTiles(const std::vector<TileScreen>& tiles);
  void ShowCommands(const StationScreen& screen);
  void PlaceControls();
  int Scaled(int pixels) const;

  HINSTANCE instance_;
  StationWindow* station_ = nullptr;
  int dpi_;
  HWND window_ = nullptr;
  HMENU menuBar_ = nullptr;
  HMENU stationMenu_ = nullptr;
  HACCEL accelerators_ = nullptr;
  HWND header_ = nullptr;
  HWND separator_ = nullptr;
  HWND tally_ = nullptr;
  HWND rate_ = nullptr;
  HWND notice_ = nullptr;
  HWND startStop_ = nullptr;
  HFONT textFont_ = nullptr;
  HFONT tallyFont_ = nullptr;
  HFONT buttonFont_ = nullptr;
  int textHeight_ = 0;   // a line of textFont_
  int tallyHeight_ = 0;  // a line of tallyFont_
  TileLook tileLook_;
  std::vector<std::unique_ptr<StationTile>> tiles_;
  StationScreen shown_;  // what the window shows now
  bool shownOnce_ = false;

  // Posted tasks, and the window they go to (nullptr once it has gone).
  std::mutex tasksMutex_;
  HWND tasksWindow_ = nullptr;
  std::vector<std::function<void()>> tasks_;
  bool wakePosted_ = false;  // a RunTasksMessage is on its way
};

}  // namespace kv
