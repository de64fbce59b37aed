#include "ui/qt/qt_station_form.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMetaObject>
#include <QPushButton>
#include <QScrollArea>
#include <QStringList>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "station/daily_log.h"
#include "ui/qt/application.h"

namespace kv {
namespace {

constexpr int TileColumns = 4;
constexpr int HeaderPoints = 11;
constexpr int TallyPoints = 28;  // readable from two metres
constexpr int HeadlinePoints = 16;

QFont Points(int points, bool bold = false) {
  QFont font = QApplication::font();
  font.setPointSize(points);
  font.setBold(bold);
  return font;
}

QLabel* PlainLabel(QWidget* parent, const QFont& font) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);  // names and paths are shown as they are, never as markup
  label->setFont(font);
  return label;
}

}  // namespace

QtStationForm::QtStationForm(WindowPrompts& prompts, StationWindowSetup setup)
    : prompts_(prompts), probe_(qEnvironmentVariable("LD6193_STATION_PROBE")) {
  BuildMenu();
  BuildClientArea();
  resize(1100, 720);
  behaviour_ = std::make_unique<StationWindow>(*this, std::move(setup));
  behaviour_->FormCreate();
}

QtStationForm::~QtStationForm() {
  // The behaviour stops a running station and waits for it while the widgets still stand.
  behaviour_.reset();
}

void QtStationForm::BuildMenu() {
  QMenu* menu = menuBar()->addMenu(QStringLiteral("&Station"));
  open_ = menu->addAction(QStringLiteral("&Open…"));
  open_->setShortcut(QKeySequence::Open);
  startStop_ = menu->addAction(QStringLiteral("&Start / Stop"));
  startStop_->setShortcut(Qt::Key_F9);
  flashAll_ = menu->addAction(QStringLiteral("&Flash all"));
  flashAll_->setShortcut(Qt::Key_F5);
  menu->addSeparator();
  exit_ = menu->addAction(QStringLiteral("E&xit"));
  exit_->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));  // also where no window manager gives it
  connect(open_, &QAction::triggered, this, [this] { behaviour_->OpenClick(); });
  connect(startStop_, &QAction::triggered, this, [this] { behaviour_->StartStopClick(); });
  connect(flashAll_, &QAction::triggered, this, [this] { behaviour_->FlashAllClick(); });
  connect(exit_, &QAction::triggered, this, [this] { close(); });
}

void QtStationForm::BuildClientArea() {
  auto* client = new QWidget(this);
  auto* column = new QVBoxLayout(client);
  auto* header = new QGridLayout();
  for (int line = 0; line < 5; ++line) {
    header_.push_back(PlainLabel(client, Points(HeaderPoints)));
    header->addWidget(header_.back(), line % 3, line / 3);
  }
  column->addLayout(header);

  auto* scroll = new QScrollArea(client);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  auto* tiles = new QWidget(scroll);
  grid_ = new QGridLayout(tiles);
  grid_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  scroll->setWidget(tiles);
  column->addWidget(scroll, 1);

  notice_ = PlainLabel(client, Points(HeaderPoints));
  notice_->setWordWrap(true);
  column->addWidget(notice_);
  auto* footer = new QHBoxLayout();
  tally_ = PlainLabel(client, Points(TallyPoints, true));
  rate_ = PlainLabel(client, Points(HeadlinePoints));
  startStopButton_ = new QPushButton(client);
  startStopButton_->setFont(Points(HeadlinePoints, true));
  startStopButton_->setMinimumSize(160, 56);
  startStopButton_->setFocusPolicy(Qt::NoFocus);  // F9 and the menu reach it; Return never toggles it
  connect(startStopButton_, &QPushButton::clicked, this, [this] { behaviour_->StartStopClick(); });
  footer->addWidget(tally_, 1);
  footer->addWidget(rate_);
  footer->addSpacing(24);
  footer->addWidget(startStopButton_);
  column->addLayout(footer);
  setCentralWidget(client);
}

StationTile* QtStationForm::MakeTile() {
  auto* tile = new StationTile(grid_->parentWidget(), Points(HeaderPoints, true), Points(HeaderPoints - 2),
                               Points(HeadlinePoints, true));
  const int n = static_cast<int>(tiles_.size());
  grid_->addWidget(tile, n / TileColumns, n % TileColumns);
  return tile;
}

void QtStationForm::Show(const StationScreen& screen) {
  setWindowTitle(FromUtf8(screen.caption));
  for (size_t line = 0; line < header_.size(); ++line) {
    header_[line]->setText(line < screen.header.size() ? FromUtf8(screen.header[line]) : QString());
  }
  while (tiles_.size() < screen.tiles.size()) tiles_.push_back(MakeTile());
  for (size_t i = 0; i < tiles_.size(); ++i) {
    tiles_[i]->setVisible(i < screen.tiles.size());
    if (i < screen.tiles.size()) tiles_[i]->Show(screen.tiles[i]);
  }
  tally_->setText(FromUtf8(screen.tally));
  rate_->setText(FromUtf8(screen.rate));
  notice_->setText(FromUtf8(screen.notice));
  startStopButton_->setText(FromUtf8(screen.startStopCaption));
  startStopButton_->setEnabled(screen.canStartStop);
  startStop_->setEnabled(screen.canStartStop);
  open_->setEnabled(screen.canOpen);
  flashAll_->setEnabled(screen.canFlashAll);
  if (!probe_.isEmpty()) WriteProbe();
}

QString QtStationForm::WidgetTexts() const {
  QStringList lines{QStringLiteral("caption: ") + windowTitle()};
  for (const QLabel* label : header_) lines << QStringLiteral("header: ") + label->text();
  for (const StationTile* tile : tiles_) {
    if (!tile->isVisibleTo(this) || !tile->Shown()) continue;
    const TileScreen& shown = *tile->Shown();
    lines << QStringLiteral("tile: %1 | %2 | %3 | %4 | %5")
                 .arg(FromUtf8(shown.slot), QString::fromLatin1(TileStateName(shown.state)),
                      FromUtf8(shown.adapter), FromUtf8(shown.headline), FromUtf8(shown.detail));
  }
  lines << QStringLiteral("tally: ") + tally_->text() << QStringLiteral("rate: ") + rate_->text()
        << QStringLiteral("notice: ") + notice_->text()
        << QStringLiteral("button: ") + startStopButton_->text();
  return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

void QtStationForm::WriteProbe() const {
  // Whole or not at all: written aside, then renamed over, so a reader never sees half a screen (and
  // unlike QSaveFile, with no wait for the disk).
  const std::string path = QFile::encodeName(probe_).toStdString();
  const std::string aside = path + ".new";
  {
    std::ofstream file(aside, std::ios::binary | std::ios::trunc);
    file << WidgetTexts().toStdString();
    if (!file) return;
  }
  std::rename(aside.c_str(), path.c_str());
}

void QtStationForm::Alert() {
  QApplication::alert(this);
}

void QtStationForm::ShowMessage(std::string_view text) {
  prompts_.ShowMessage(this, FromUtf8(text));
}

bool QtStationForm::ChooseFile(std::span<const FileChoice> choices, std::string& path) {
  return ChooseFileAmong(prompts_, this, choices, path);
}

std::string QtStationForm::DisplayPath(std::string_view nativePath) {
  return DisplayNativePath(nativePath);
}

void QtStationForm::Post(std::function<void()> task) {
  // Queued to this window: a task still queued when the window goes is dropped with it.
  QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

void QtStationForm::StartTicks(unsigned ms) {
  if (ticks_ == nullptr) {
    ticks_ = new QTimer(this);
    connect(ticks_, &QTimer::timeout, this, [this] { behaviour_->Tick(); });
  }
  ticks_->start(static_cast<int>(ms));
}

void QtStationForm::Close() {
  close();
}

void QtStationForm::closeEvent(QCloseEvent* event) {
  if (behaviour_->FormClose()) {
    event->accept();
  } else {
    event->ignore();  // the station stops first; the behaviour closes the window once it has ended
  }
}

int RunStationProgram(LoaderApplication& application, const std::optional<std::string>& startFile) {
  application.Guard([&] {
    const PortDirectory ports = SystemPortDirectory();
    RunEnvironment runs;
    runs.start = std::chrono::steady_clock::now();
    QtStationForm window(application.Prompts(),
                         {ports, runs, DailyLogFolder([](const char* name) { return std::getenv(name); })});
    window.show();
    if (startFile) {
      // From inside the loop, as the main window loads its start file.
      QTimer::singleShot(0, &window, [&window, &startFile] { window.Behaviour().OpenFile(*startFile); });
    }
    application.exec();
  });
  return 0;
}

}  // namespace kv
