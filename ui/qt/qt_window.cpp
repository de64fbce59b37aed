#include "ui/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFont>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QStatusBar>
#include <algorithm>

#include "image/hex_reader.h"
#include "link/posix_port.h"
#include "link/system_clock.h"

namespace kv {

TForm1* Form1 = nullptr;

namespace {

// The layout, in pixels at 96 dpi, client coordinates below the menu bar.
constexpr QPoint WindowPosition{247, 311};
constexpr int ClientWidth = 489;
constexpr int StatusBarTop = 149;
constexpr QRect ProgressBarGeometry{8, 16, 473, 89};
constexpr QRect LabelGeometry{216, 112, 30, 24};
constexpr std::array<int, 2> PanelWidths{400, 50};
constexpr int PanelMainText = 0;
constexpr int PanelPort = 1;
constexpr int ProgressInitialMax = 100;
const char* const WindowFontFamily = "MS Sans Serif";  // the platform substitutes its nearest face
constexpr int WindowFontPoints = 8;
constexpr int LabelFontPoints = 14;

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString PortText(int n) {
  return QStringLiteral("COM%1").arg(n);
}

}  // namespace

QString VersionText(const QLocale& locale) {
  QString text = locale.toString(ProgramVersion, 'g', 15);
  if (text.size() > 1) text[1] = QLatin1Char('.');
  return text;
}

QString WindowCaption(const QLocale& locale) {
  return FromUtf8(CaptionPrefix) + VersionText(locale) + QStringLiteral("    ") + FromUtf8(MakerNotice);
}

TForm1::TForm1(WindowPrompts& prompts, Port* port, Clock* clock)
    : OpenDialog1(prompts, this),
      prompts_(prompts),
      ownClock_(clock ? nullptr : std::make_unique<SystemClock>()),
      clock_(clock ? *clock : *ownClock_),
      ownPort_(port ? nullptr : std::make_unique<PosixPort>(clock_)),
      port_(port ? *port : *ownPort_) {
  Form1 = this;
  setFont(QFont(WindowFontFamily, WindowFontPoints));
  BuildMenu();
  BuildClientArea();
  BuildStatusBar();
  PlaceWindow();
  FormCreate();
}

TForm1::~TForm1() {
  if (Form1 == this) Form1 = nullptr;
}

void TForm1::BuildMenu() {
  MainMenu1 = menuBar();
  LoadFile1 = MainMenu1->addAction(QStringLiteral("Load File"));
  Send1 = MainMenu1->addAction(QStringLiteral("Send"));
  Setup1 = MainMenu1->addMenu(QStringLiteral("Setup"));
  portItems_ = new QActionGroup(this);
  portItems_->setExclusionPolicy(QActionGroup::ExclusionPolicy::Exclusive);
  const auto addPortItem = [this](int n) {
    QAction* item = Setup1->addAction(PortText(n));
    item->setCheckable(true);
    portItems_->addAction(item);
    return item;
  };
  COM11 = addPortItem(1);
  COM21 = addPortItem(2);
  COM31 = addPortItem(3);
  COM41 = addPortItem(4);

  connect(LoadFile1, &QAction::triggered, this, &TForm1::LoadFile1Click);
  connect(Send1, &QAction::triggered, this, &TForm1::Send1Click);
  connect(COM11, &QAction::triggered, this, &TForm1::COM11Click);
  connect(COM21, &QAction::triggered, this, &TForm1::COM21Click);
  connect(COM31, &QAction::triggered, this, &TForm1::COM31Click);
  connect(COM41, &QAction::triggered, this, &TForm1::COM41Click);
}

void TForm1::BuildClientArea() {
  auto* client = new QWidget(this);
  ProgressBar1 = new QProgressBar(client);
  ProgressBar1->setGeometry(ProgressBarGeometry);
  ProgressBar1->setRange(0, ProgressInitialMax);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);  // one smooth bar; the label carries the figure

  Label1 = new QLabel(client);
  QFont labelFont(WindowFontFamily);
  labelFont.setPointSize(LabelFontPoints);
  Label1->setFont(labelFont);
  Label1->setAlignment(Qt::AlignCenter);
  Label1->setGeometry(LabelGeometry);
  SetLabel1Text(QStringLiteral("0 %"));
  setCentralWidget(client);
}

void TForm1::BuildStatusBar() {
  StatusBar1 = statusBar();
  for (size_t i = 0; i < panels_.size(); ++i) {
    auto* panel = new QLabel(StatusBar1);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setFixedWidth(PanelWidths[i]);
    panel->setTextFormat(Qt::PlainText);  // a path is shown as it is, never as markup
    StatusBar1->addWidget(panel);
    panels_[i] = panel;
  }
}

void TForm1::PlaceWindow() {
  // The client area below the menu keeps its designed height unless the platform's fonts need more.
  const int areaHeight = std::max(StatusBarTop, Label1->geometry().bottom() + 1);
  const int menuHeight = MainMenu1->sizeHint().height();
  const int statusHeight = StatusBar1->sizeHint().height();
  resize(ClientWidth, menuHeight + areaHeight + statusHeight);
  move(WindowPosition);
}

void TForm1::FormCreate() {
  setWindowTitle(WindowCaption(QLocale()));
  ReadPortSetting(PortSettingFileName, PortNumber, *this);
  if (PortNumber < 1 || PortNumber > 5) PortNumber = 1;
  WritePortSetting(PortSettingFileName, PortNumber, *this);
  SetPanelText(PanelPort, PortText(PortNumber));
  SetPanelText(PanelMainText, QStringLiteral("No file"));
  CheckPortItem(PortNumber);
}

void TForm1::ChoosePort(int n) {
  PortNumber = n;
  CheckPortItem(n);
  WritePortSetting(PortSettingFileName, PortNumber, *this);
  SetPanelText(PanelPort, PortText(PortNumber));
}

void TForm1::CheckPortItem(int n) {
  const std::array<QAction*, 4> items{COM11, COM21, COM31, COM41};
  if (n >= 1 && n <= 4) items[static_cast<size_t>(n - 1)]->setChecked(true);  // 5 has no item
}

void TForm1::LoadFile1Click() {
  if (Busy) {
    ShowMessage(SendBusyMessage);
    return;
  }
  if (loading_) {
    // A second load would rebuild the image under the file still being read.
    ShowMessage(LoadBusyMessage);
    return;
  }
  SetStatusText("Loading...");
  if (!OpenDialog1.Execute()) {
    SetStatusText("");
    return;
  }
  // The file is opened by the path as chosen (names here are case-sensitive); the upper-cased form is
  // only what the user is shown and what the identification block carries.
  const QByteArray chosen = QFile::encodeName(OpenDialog1.FileName());
  const std::string upperPath = UpperCasePath(std::string_view(chosen.constData(), chosen.size()));
  LoadedFileName = LoadedFileNameFor(upperPath);
  SetStatusText("Loading file...please wait");

  loading_ = true;
  const HexReadResult result = ReadHexFile(chosen.constData(), Image, LoadedFileTime, *this);
  loading_ = false;

  QString status = FromUtf8(ReadResultText(result));
  if (result == ReadComplete) status += QFile::decodeName(QByteArray::fromStdString(upperPath));
  SetPanelText(PanelMainText, status);
  CloseIfRequested();
}

void TForm1::Send1Click() {
  if (loading_) {
    // A download now would send a half-built image.
    ShowMessage(LoadBusyMessage);
    return;
  }
  DownloadContext context{Image, LoadedFileName, LoadedFileTime, PortNumber, Busy, port_, clock_, *this};
  RunDownload(context);
  CloseIfRequested();
}

void TForm1::FormClose() {
  port_.ShutdownPort();
}

void TForm1::closeEvent(QCloseEvent* event) {
  FormClose();
  if (Busy || loading_) {
    // The running command still owns the stack below us: it ends first (a download's next command
    // fails on the shut port, a load runs to its end), then the window closes.
    closeRequested_ = true;
    event->ignore();
    return;
  }
  event->accept();
}

void TForm1::CloseIfRequested() {
  if (closeRequested_ && !Busy && !loading_) close();
}

QString TForm1::StatusPanelText(int panel) const {
  return panels_.at(static_cast<size_t>(panel))->text();
}

void TForm1::SetPanelText(int panel, const QString& text) {
  panels_.at(static_cast<size_t>(panel))->setText(text);
}

void TForm1::SetLabel1Text(const QString& text) {
  Label1->setText(text);
  Label1->adjustSize();  // keeps the left edge where it is
}

void TForm1::SetStatusText(std::string_view text) {
  SetPanelText(PanelMainText, FromUtf8(text));
}

void TForm1::ShowMessage(std::string_view text) {
  prompts_.ShowMessage(this, FromUtf8(text));
}

void TForm1::SetProgressMax(uint16_t maximum) {
  // A new maximum below the old position clamps the bar rather than emptying it: the bar keeps showing
  // the last download until this one programs its first page.
  const int position = std::min<int>(ProgressBar1->value(), maximum);
  ProgressBar1->setMaximum(maximum);
  ProgressBar1->setValue(position);
}

void TForm1::SetProgress(uint16_t position, std::string_view label) {
  ProgressBar1->setValue(position);
  SetLabel1Text(FromUtf8(label));
}

void TForm1::ProcessMessages() {
  // Once the window is closing, nothing more is handled: the running command ends at full speed.
  if (closeRequested_) return;
  QCoreApplication::processEvents();
}

}  // namespace kv
