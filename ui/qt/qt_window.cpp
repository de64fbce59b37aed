#include "ui/qt/qt_window.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFont>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QStatusBar>
#include <QStringList>
#include <algorithm>

#include "line/port.h"
#include "ui/layout.h"

namespace kv {
namespace {

QRect ToQRect(const layout::Rect& r) {
  return QRect(r.left, r.top, r.width, r.height);
}

QFont WindowFont(int points) {
  return QFont(FromUtf8(layout::FontFamily), points);
}

}  // namespace

QtWindow::QtWindow(WindowPrompts& prompts, Port& port, Clock& clock, const PortDirectory& ports)
    : prompts_(prompts), behaviour_(*this, port, clock, ports) {
  setFont(WindowFont(layout::FontPoints));
  BuildMenu();
  BuildClientArea();
  BuildStatusBar();
  PlaceWindow();
  behaviour_.FormCreate();
}

void QtWindow::BuildMenu() {
  MainMenu1 = menuBar();
  LoadFile1 = MainMenu1->addAction(FromUtf8(layout::LoadFileCaption));
  Send1 = MainMenu1->addAction(FromUtf8(layout::SendCaption));
  Setup1 = MainMenu1->addMenu(FromUtf8(layout::SetupCaption));
  connect(Setup1, &QMenu::aboutToShow, this, [this] { behaviour_.Setup1Click(); });
  auto* portItems = new QActionGroup(this);
  portItems->setExclusionPolicy(QActionGroup::ExclusionPolicy::Exclusive);
  std::array<QAction*, layout::PortItemCount> items{};
  for (int n = 1; n <= layout::PortItemCount; ++n) {
    QAction* item = Setup1->addAction(QString::fromStdString(PortName(n)));
    item->setCheckable(true);
    portItems->addAction(item);
    const auto handler = PortItemHandlers[static_cast<size_t>(n - 1)];
    connect(item, &QAction::triggered, this, [this, handler] { (behaviour_.*handler)(); });
    items[static_cast<size_t>(n - 1)] = item;
  }
  COM11 = items[0];
  COM21 = items[1];
  COM31 = items[2];
  COM41 = items[3];
  connect(LoadFile1, &QAction::triggered, this, [this] { behaviour_.LoadFile1Click(); });
  connect(Send1, &QAction::triggered, this, [this] { behaviour_.Send1Click(); });
}

void QtWindow::BuildClientArea() {
  auto* client = new QWidget(this);
  ProgressBar1 = new QProgressBar(client);
  ProgressBar1->setGeometry(ToQRect(layout::ProgressBar));
  ProgressBar1->setRange(0, layout::ProgressInitialMax);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);  // one smooth bar; the label carries the figure

  Label1 = new QLabel(client);
  Label1->setFont(WindowFont(layout::LabelFontPoints));
  Label1->setAlignment(Qt::AlignCenter);
  Label1->setGeometry(ToQRect(layout::Label));
  SetLabelText("0 %");
  setCentralWidget(client);
}

void QtWindow::BuildStatusBar() {
  StatusBar1 = statusBar();
  for (size_t i = 0; i < panels_.size(); ++i) {
    auto* panel = new QLabel(StatusBar1);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setFixedWidth(layout::PanelWidths[i]);
    panel->setTextFormat(Qt::PlainText);  // a path is shown as it is, never as markup
    StatusBar1->addWidget(panel);
    panels_[i] = panel;
  }
}

void QtWindow::PlaceWindow() {
  // The client area below the menu keeps its designed height unless the platform's fonts need more.
  const int areaHeight = std::max(layout::StatusBarTop, Label1->geometry().bottom() + 1);
  const int menuHeight = MainMenu1->sizeHint().height();
  const int statusHeight = StatusBar1->sizeHint().height();
  resize(layout::ClientWidth, menuHeight + areaHeight + statusHeight);
  move(layout::WindowLeft, layout::WindowTop);
}

QAction* QtWindow::PortItem(int n) const {
  const std::array<QAction*, layout::PortItemCount> items{COM11, COM21, COM31, COM41};
  return items.at(static_cast<size_t>(n - 1));
}

QString QtWindow::StatusPanelText(int panel) const {
  return panels_.at(static_cast<size_t>(panel))->text();
}

QString QtWindow::StatusPanelTip(int panel) const {
  return panels_.at(static_cast<size_t>(panel))->toolTip();
}

void QtWindow::SetCaption(std::string_view text) {
  setWindowTitle(FromUtf8(text));
}

void QtWindow::SetPanelText(Panel panel, std::string_view text) {
  panels_.at(static_cast<size_t>(panel))->setText(FromUtf8(text));
}

void QtWindow::SetPanelTip(std::string_view text) {
  panels_[static_cast<size_t>(Panel::Main)]->setToolTip(FromUtf8(text));
}

void QtWindow::CheckPortItem(int n) {
  PortItem(n)->setChecked(true);
}

void QtWindow::SetPortItemTip(int n, std::string_view text) {
  QAction* item = PortItem(n);
  item->setToolTip(FromUtf8(text));
  item->setStatusTip(FromUtf8(text));
  Setup1->setToolTipsVisible(true);  // menus hide their items' tooltips unless asked
}

void QtWindow::SetProgressBar(uint16_t maximum, uint16_t position) {
  ProgressBar1->setMaximum(maximum);
  ProgressBar1->setValue(position);
}

void QtWindow::SetLabelText(std::string_view text) {
  Label1->setText(FromUtf8(text));
  Label1->adjustSize();  // keeps the left edge where it is
}

void QtWindow::ShowMessage(std::string_view text) {
  prompts_.ShowMessage(this, FromUtf8(text));
}

bool QtWindow::ChooseFile(std::span<const FileChoice> choices, std::string& path) {
  return ChooseFileAmong(prompts_, this, choices, path);
}

std::string QtWindow::DisplayPath(std::string_view nativePath) {
  return DisplayNativePath(nativePath);
}

void QtWindow::ProcessMessages() {
  QCoreApplication::processEvents();
}

void QtWindow::Close() {
  close();
}

void QtWindow::closeEvent(QCloseEvent* event) {
  if (behaviour_.FormClose()) {
    event->accept();
  } else {
    event->ignore();  // the running command ends first; the behaviour closes the window then
  }
}

}  // namespace kv
