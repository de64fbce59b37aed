// The program's one window, TForm1: a menu bar with "Load File", "Send" and the "Setup" port items, a
// progress bar with its percentage label, and a two-panel status bar. It owns the program-wide objects
// (image, loaded file's name and time, port number, busy flag, the serial port) and is the front end
// that the HEX reader, the download and the port setting file report to.
#pragma once

#include <QMainWindow>
#include <QString>
#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "download/download.h"
#include "image/loaded_file.h"
#include "image/memory_image.h"
#include "link/port.h"
#include "ui/port_setting.h"
#include "ui/prompts.h"

class QAction;
class QActionGroup;
class QCloseEvent;
class QLabel;
class QLocale;
class QMenu;
class QMenuBar;
class QProgressBar;
class QStatusBar;

namespace kv {

inline constexpr double ProgramVersion = 1.1;
inline constexpr std::string_view CaptionPrefix = "KV6193 System File Loader Ver ";
inline constexpr std::string_view MakerNotice = "(c) 2026 KV6193 Tools";
inline constexpr std::string_view LoadBusyMessage = "Program busy - loading file";
inline constexpr std::string_view SendBusyMessage = "Program busy - sending data";

// The version as the locale's general format writes it, with its second character made a full stop so
// that a comma locale still reads "1.1".
QString VersionText(const QLocale& locale);
// Prefix, version, four blanks, notice.
QString WindowCaption(const QLocale& locale);

// The file-open dialog's settings and its last answer; running it goes through the window's prompts.
class FileOpenDialog {
 public:
  FileOpenDialog(WindowPrompts& prompts, QWidget* parent) : prompts_(prompts), parent_(parent) {}
  // True when a file was confirmed; FileName() then holds its path as chosen.
  bool Execute() { return prompts_.ChooseFile(parent_, Filter, fileName_); }
  const QString& FileName() const { return fileName_; }

  const QString Filter = QStringLiteral("Loader 619x (*.hex);;All files (*.*)");

 private:
  WindowPrompts& prompts_;
  QWidget* parent_;
  QString fileName_;
};

class TForm1 : public QMainWindow, public DownloadView, public MessageSink {
 public:
  // Builds the window and runs FormCreate; nothing is shown yet. Without a port (and clock) of the
  // caller's, the window uses the real serial port and the real clock.
  explicit TForm1(WindowPrompts& prompts, Port* port = nullptr, Clock* clock = nullptr);
  ~TForm1() override;

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
  FileOpenDialog OpenDialog1;
  QProgressBar* ProgressBar1;
  QLabel* Label1;

  // Handlers.
  void FormCreate();
  void COM11Click() { ChoosePort(1); }
  void COM21Click() { ChoosePort(2); }
  void COM31Click() { ChoosePort(3); }
  void COM41Click() { ChoosePort(4); }
  void LoadFile1Click();
  void Send1Click();
  void FormClose();

  // The program-wide objects.
  MemoryImage Image;
  std::string LoadedFileName;
  SystemTime LoadedFileTime;
  int PortNumber = 1;
  BusyFlag Busy;

  QString StatusPanelText(int panel) const;
  bool IsLoading() const { return loading_; }
  Port& SerialPort() { return port_; }

  // DownloadView (and the reader's and the setting file's message box).
  void SetStatusText(std::string_view text) override;
  void ShowMessage(std::string_view text) override;
  void SetProgressMax(uint16_t maximum) override;
  void SetProgress(uint16_t position, std::string_view label) override;
  void ProcessMessages() override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenu();
  void BuildClientArea();
  void BuildStatusBar();
  void PlaceWindow();
  void ChoosePort(int n);
  void CheckPortItem(int n);
  void SetPanelText(int panel, const QString& text);
  void SetLabel1Text(const QString& text);
  void CloseIfRequested();

  WindowPrompts& prompts_;
  std::unique_ptr<Clock> ownClock_;
  Clock& clock_;
  std::unique_ptr<Port> ownPort_;
  Port& port_;
  QActionGroup* portItems_ = nullptr;
  std::array<QLabel*, 2> panels_{};
  bool loading_ = false;
  bool closeRequested_ = false;  // a close arrived while a load or download ran
};

// The one window, from its creation to its end.
extern TForm1* Form1;

}  // namespace kv
