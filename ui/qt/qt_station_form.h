// The station window on Qt 6: the header lines, a grid of tiles (one per slot, ui/qt/station_tile.h),
// the footer with the tally in large type, the rate, the notice and the Start/Stop button, and the
// "Station" menu (Open… Ctrl+O, Start/Stop F9, Flash all F5, Exit Alt+F4). It is the StationForm the
// behaviour (StationWindow) talks to; it draws what it is shown and decides nothing.
//
// With LD6193_STATION_PROBE=FILE in the environment, the window writes its widgets' texts to FILE after
// each redraw (a whole new file each time), for the end-to-end test to read.
#pragma once

#include <QMainWindow>
#include <QString>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/qt/application.h"
#include "ui/qt/prompts.h"
#include "ui/qt/station_tile.h"
#include "ui/station_form.h"
#include "ui/station_window.h"

class QAction;
class QCloseEvent;
class QGridLayout;
class QLabel;
class QPushButton;
class QTimer;

namespace kv {

class QtStationForm : public QMainWindow, public StationForm {
 public:
  // Builds the widgets and the behaviour, and draws the first screen; nothing is shown yet.
  QtStationForm(WindowPrompts& prompts, StationWindowSetup setup);
  ~QtStationForm() override;

  StationWindow& Behaviour() { return *behaviour_; }

  // The window's own texts, one per line, as LD6193_STATION_PROBE writes them.
  QString WidgetTexts() const;

  // StationForm.
  void Show(const StationScreen& screen) override;
  void Alert() override;
  void ShowMessage(std::string_view text) override;
  bool ChooseFile(std::span<const FileChoice> choices, std::string& path) override;
  std::string DisplayPath(std::string_view nativePath) override;
  void Post(std::function<void()> task) override;
  void StartTicks(unsigned ms) override;
  void Close() override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenu();
  void BuildClientArea();
  StationTile* MakeTile();
  void WriteProbe() const;

  WindowPrompts& prompts_;
  QAction* open_ = nullptr;
  QAction* startStop_ = nullptr;
  QAction* flashAll_ = nullptr;
  QAction* exit_ = nullptr;
  std::vector<QLabel*> header_;
  QGridLayout* grid_ = nullptr;
  std::vector<StationTile*> tiles_;
  QLabel* tally_ = nullptr;
  QLabel* rate_ = nullptr;
  QLabel* notice_ = nullptr;
  QPushButton* startStopButton_ = nullptr;
  QTimer* ticks_ = nullptr;
  QString probe_;                             // where the widgets' texts go; empty: nowhere
  std::unique_ptr<StationWindow> behaviour_;  // last: it talks to the widgets above
};

// Creates the station window on the system's ports and the user's daily log folder, shows it, opens
// startFile (a native path) if given, and runs the loop until the window closes. Returns 0.
int RunStationProgram(LoaderApplication& application, const std::optional<std::string>& startFile);

}  // namespace kv
