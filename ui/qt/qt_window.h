// The window on Qt 6: the menu bar with "Load File", "Send" and the "Setup" port items, the progress bar
// with its percentage label, and the two-panel status bar, drawn from the shared layout. It is the Form
// that the window's behaviour (TForm1) talks to, and it routes its menu commands, the opening of the
// "Setup" menu and its close box to that behaviour; it decides nothing itself.
#pragma once

#include <QMainWindow>
#include <QString>
#include <array>
#include <string>
#include <string_view>

#include "ui/form.h"
#include "ui/qt/prompts.h"
#include "ui/window.h"

class QAction;
class QCloseEvent;
class QLabel;
class QMenu;
class QMenuBar;
class QProgressBar;
class QStatusBar;

namespace kv {

class QtWindow : public QMainWindow, public Form {
 public:
  // Builds the widgets and runs FormCreate; nothing is shown yet. Port, clock and port directory
  // outlive the window.
  QtWindow(WindowPrompts& prompts, Port& port, Clock& clock, const PortDirectory& ports);

  // Components, named as the window's designer named them.
  QMenuBar* MainMenu1;
  QAction* LoadFile1;
  QAction* Send1;
  QMenu* Setup1;
  QStatusBar* StatusBar1;
  QAction* COM11;
  QAction* COM21;
  QAction* COM31;
  QAction* COM41;
  QProgressBar* ProgressBar1;
  QLabel* Label1;

  TForm1& Behaviour() { return behaviour_; }
  QString StatusPanelText(int panel) const;
  QString StatusPanelTip(int panel) const;

  // Form.
  void SetCaption(std::string_view text) override;
  void SetPanelText(Panel panel, std::string_view text) override;
  void SetPanelTip(std::string_view text) override;
  void CheckPortItem(int n) override;
  void SetPortItemTip(int n, std::string_view text) override;
  void SetProgressBar(uint16_t maximum, uint16_t position) override;
  void SetLabelText(std::string_view text) override;
  void ShowMessage(std::string_view text) override;
  bool ChooseFile(std::span<const FileChoice> choices, std::string& path) override;
  std::string DisplayPath(std::string_view nativePath) override;
  void ProcessMessages() override;
  void Close() override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenu();
  void BuildClientArea();
  void BuildStatusBar();
  void PlaceWindow();
  QAction* PortItem(int n) const;

  WindowPrompts& prompts_;
  std::array<QLabel*, 2> panels_{};
  TForm1 behaviour_;  // last: it talks to the widgets above from FormCreate on
};

}  // namespace kv
