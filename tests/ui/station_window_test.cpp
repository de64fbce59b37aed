// The station window's behaviour over a recording form and the real station core on a fake port tree,
// with scripted boards on virtual time: what each tile shows and keeps, the tally and rate arriving,
// what is locked while running, the eye drawn to a failure, the daily log, and the two-step close.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "image/hex_reader.h"
#include "station/plan_report.h"
#include "station/station_book.h"
#include "tests/support/fake_port.h"
#include "tests/support/fake_tree.h"
#include "tests/support/hex_text.h"
#include "ui/station_window.h"

namespace kv {
namespace {

using test::FakePort;
using test::FakeTree;
using test::VirtualClock;

// Keeps the last screen drawn and what else the window asked; runs posted tasks when the test says.
class StationFormRecorder : public StationForm {
 public:
  void Show(const StationScreen& shown) override { screen = shown; }
  void Alert() override { ++alerts; }
  void ShowMessage(std::string_view text) override { messages.emplace_back(text); }
  bool ChooseFile(std::span<const FileChoice> /*choices*/, std::string& path) override {
    path = answer;
    return true;
  }
  std::string DisplayPath(std::string_view nativePath) override { return std::string(nativePath); }
  void Post(std::function<void()> task) override {
    {
      const std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    posted_.notify_all();
  }
  void StartTicks(unsigned ms) override { tickMs = ms; }
  void Close() override { ++closes; }

  // Runs the posted tasks and ticks, as the window's thread would, until `done` holds; false after a
  // minute (a hang is the fault).
  bool RunUntil(StationWindow& window, const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (true) {
      std::deque<std::function<void()>> tasks;
      {
        const std::lock_guard lock(mutex_);
        tasks.swap(tasks_);
      }
      for (auto& task : tasks) task();
      window.Tick();
      if (done()) return true;
      std::unique_lock lock(mutex_);
      if (!posted_.wait_until(lock, limit, [this] { return !tasks_.empty(); })) return false;
    }
  }

  StationScreen screen;
  unsigned alerts = 0;
  std::vector<std::string> messages;
  std::string answer;  // the file dialog's
  unsigned tickMs = 0;
  unsigned closes = 0;

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> tasks_;
};

// How a scripted board behaves.
enum class Board {
  Healthy,  // answers every packet as the loader does
  Silent,   // opens, then never answers: its download fails on the line
  Held,     // healthy, but quiet until released (or shut down), without time passing
};

class BoardPort : public FakePort {
 public:
  BoardPort(VirtualClock& clock, Board board, const std::atomic<bool>& released)
      : FakePort(clock), board_(board), released_(released) {
    if (board == Board::Silent) return;
    responder = AnswerAsAHealthyLoader;
  }
  ReadResult PortReadByte() override {
    if (board_ != Board::Held || released_.load() || !IsOpen()) return FakePort::PortReadByte();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return {ReadStatus::NoByte, 0};
  }

 private:
  const Board board_;
  const std::atomic<bool>& released_;
};

constexpr const char* SocketA = "pci-0000:00:14.0-usb-0:1:1.0-port0";
constexpr const char* SocketB = "pci-0000:00:14.0-usb-0:2:1.0-port0";
constexpr const char* SocketC = "pci-0000:00:14.0-usb-0:3:1.0-port0";
constexpr const char* SocketD = "pci-0000:00:14.0-usb-0:4:1.0-port0";
constexpr const char* SocketE = "pci-0000:00:14.0-usb-0:5:1.0-port0";

// "SLOT=STATE" for every tile, in the screen's order, with the sockets' last letters as names.
std::string TileSummary(const StationScreen& screen) {
  static const std::map<TileState, std::string> Names{{TileState::Waiting, "Waiting"},
                                                      {TileState::LeftAlone, "LeftAlone"},
                                                      {TileState::Flashing, "Flashing"},
                                                      {TileState::Passed, "Passed"},
                                                      {TileState::Failed, "Failed"}};
  const std::map<std::string, std::string> sockets{
      {SocketA, "A"}, {SocketB, "B"}, {SocketC, "C"}, {SocketD, "D"}, {SocketE, "E"}};
  std::string summary;
  for (const TileScreen& tile : screen.tiles) {
    summary += (summary.empty() ? "" : " ") + sockets.at(tile.slot) + "=" + Names.at(tile.state);
  }
  return summary;
}

TEST(StationWindow, TilesTallyLocksAlertsLogAndTheTwoStepCloseFollowTheStation) {
  FakeTree tree;
  const std::filesystem::path root = tree.Root();
  test::FileData data;
  test::AddBytes(data, 0x100, 0x200);
  std::ofstream(root / "app.hex", std::ios::binary) << test::HexText(data);
  std::ofstream(root / "broken.hex", std::ios::binary) << ":10000000\r\n";
  std::ofstream(root / "empty.hex", std::ios::binary) << test::HexRecord(0x01, 0, {}) << "\r\n";
  std::ofstream(root / "blocker") << "a file where the log's folder should go";

  std::map<std::string, Board> boards;  // by device path
  std::mutex boardsLock;
  std::atomic<bool> released{false};
  RunEnvironment runs;
  runs.makeLink = [&](const DeviceTarget& target, const PortResolver&) {
    const std::lock_guard lock(boardsLock);
    auto clock = std::make_unique<VirtualClock>();
    auto port = std::make_unique<BoardPort>(*clock, boards.at(target.name), released);
    return SerialLink{std::move(clock), std::move(port)};
  };
  std::chrono::steady_clock::time_point now{};
  const PortDirectory ports = tree.Ports();
  StationFormRecorder form;
  const std::string logFolder = (root / "blocker/ld6193").string();
  StationWindow window(form, {ports, runs, logFolder, [&now] { return now; }});
  window.FormCreate();
  EXPECT_EQ(form.tickMs, 200u) << "at most five redraws a second";

  using Action = std::function<void()>;
  const auto open = [&](const char* name) -> Action {
    return [&, name] {
      form.answer = (root / name).string();
      window.OpenClick();
    };
  };
  const auto plug = [&](const char* tty, const char* socket, Board board) -> Action {
    return [&, tty, socket, board] {
      {
        const std::lock_guard lock(boardsLock);
        boards[tree.Dev(tty)] = board;
      }
      tree.Adapter(tty, std::string("1-") + tty, "", "", std::string("usb-") + tty, socket);
    };
  };
  const auto tally = [](unsigned passed, unsigned failed, unsigned flashing) {
    return TallyText({passed, failed, flashing});
  };
  const std::string readProblem(ReadResultText(InvalidHexFormat));
  const std::string emptyText = PlanLine(DescribePlan(MemoryImage().Pages()));
  const std::string failedText(TextsOf(DownloadOutcome::EraseCommunicationError).message);

  struct Step {
    const char* what;
    Action act;
    int minutes;        // the window's clock moves on by this much first
    std::string tiles;  // waited for, with the tally
    std::string tally;
    std::string notice;  // the notice contains this
    bool canStart;       // Start (or Stop) may be chosen
    bool running;        // the caption says Stop, Open… and the log are locked, Flash all works
    unsigned alerts;
    unsigned messages;
    std::string rate;
  };
  const Step steps[] = {
      {"a broken file cannot be started", open("broken.hex"), 0, "", tally(0, 0, 0), readProblem, false,
       false, 0, 0, ""},
      {"nor an empty one", open("empty.hex"), 0, "", tally(0, 0, 0), emptyText, false, false, 0, 0, ""},
      {"a good one can", open("app.hex"), 0, "", tally(0, 0, 0), "", true, false, 0, 0, ""},
      {"two boards plugged in before Start",
       [&] {
         plug("ttyUSB0", SocketA, Board::Healthy)();
         plug("ttyUSB4", SocketE, Board::Healthy)();
       },
       0, "", tally(0, 0, 0), "", true, false, 0, 0, ""},
      {"a log that cannot be made refuses Start", [&] { window.StartStopClick(); }, 0, "", tally(0, 0, 0),
       "cannot write the log", true, false, 0, 1, ""},
      {"Start leaves the early board alone",
       [&] {
         std::filesystem::remove(root / "blocker");
         window.StartStopClick();
       },
       0, "A=LeftAlone E=LeftAlone", tally(0, 0, 0), "", true, true, 0, 1, ""},
      {"an early board taken out, as its tile asks, leaves its slot waiting", [&] { tree.Unplug("ttyUSB4"); },
       0, "A=LeftAlone E=Waiting", tally(0, 0, 0), "", true, true, 0, 1, ""},
      {"a new board passes", plug("ttyUSB1", SocketB, Board::Healthy), 30, "A=LeftAlone E=Waiting B=Passed",
       tally(1, 0, 0), "", true, true, 0, 1, "2 boards per hour"},
      {"Flash all takes the early board too", [&] { window.FlashAllClick(); }, 30,
       "A=Passed E=Waiting B=Passed", tally(3, 0, 0), "", true, true, 0, 1, "3 boards per hour"},
      {"a silent board fails and draws the eye", plug("ttyUSB2", SocketC, Board::Silent), 0,
       "A=Passed E=Waiting B=Passed C=Failed", tally(3, 1, 0), "", true, true, 1, 1, "4 boards per hour"},
      {"a result stays until its board is taken out", [&] { tree.Unplug("ttyUSB1"); }, 0,
       "A=Passed E=Waiting B=Waiting C=Failed", tally(3, 1, 0), "", true, true, 1, 1, "4 boards per hour"},
      {"a held board flashes", plug("ttyUSB3", SocketD, Board::Held), 0,
       "A=Passed E=Waiting B=Waiting C=Failed D=Flashing", tally(3, 1, 1), "", true, true, 1, 1,
       "4 boards per hour"},
      {"the first close lets it run", [&] { EXPECT_FALSE(window.FormClose()); }, 0,
       "A=Passed E=Waiting B=Waiting C=Failed D=Flashing", tally(3, 1, 1), std::string(StoppingNotice), true,
       true, 1, 1, "4 boards per hour"},
      {"the second shuts it down, and the window closes", [&] { EXPECT_FALSE(window.FormClose()); }, 0,
       "A=Passed E=Waiting B=Waiting C=Failed D=Failed", tally(3, 2, 0), "", true, false, 2, 1,
       "5 boards per hour"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    now += std::chrono::minutes(step.minutes);
    step.act();
    ASSERT_TRUE(form.RunUntil(window,
                              [&] {
                                return TileSummary(form.screen) == step.tiles &&
                                       form.screen.tally == step.tally &&
                                       form.screen.notice.find(step.notice) != std::string::npos &&
                                       (form.screen.startStopCaption == "Stop") == step.running;
                              }))
        << TileSummary(form.screen) << " / " << form.screen.tally << " / " << form.screen.notice;
    EXPECT_EQ(form.screen.canStartStop, step.canStart);
    EXPECT_EQ(form.screen.canOpen, !step.running);
    EXPECT_EQ(form.screen.canFlashAll, step.running && step.notice.empty());
    EXPECT_EQ(form.alerts, step.alerts);
    EXPECT_EQ(form.messages.size(), step.messages);
    EXPECT_EQ(form.screen.rate, step.rate);
  }
  EXPECT_EQ(form.closes, 1u) << "the window closes itself once the station has ended";
  EXPECT_TRUE(window.FormClose()) << "and agrees to it";

  // What the tiles and the header carry.
  const TileScreen& failed = form.screen.tiles[3];
  EXPECT_TRUE(failed.detail.starts_with(failedText + ": ")) << failed.detail << ": the outcome and its cause";
  EXPECT_EQ(form.screen.tiles[0].adapter, "usb-ttyUSB0");
  ASSERT_EQ(form.screen.header.size(), 5u);
  EXPECT_NE(form.screen.header[0].find("app.hex (Sector0)"), std::string::npos);
  const std::string logPath = form.screen.header[4].substr(std::string("Log: ").size());
  EXPECT_TRUE(logPath.starts_with(logFolder + "/station-")) << logPath;
  std::ifstream log(logPath);
  unsigned rows = 0;
  for (std::string line; std::getline(log, line);) rows += line.find("\"slot\"") != std::string::npos;
  EXPECT_EQ(rows, 5u) << "every board's row, with its slot, in the day's log";
}

// A board's progress as its tile's percentage, taken at the ticks; a result and the mean time per
// passed board in the header. The station's events are sent as its threads send them.
TEST(StationWindow, ProgressBecomesThePercentageAndResultsTheTimePerBoard) {
  FakeTree tree;
  const std::filesystem::path root = tree.Root();
  test::FileData data;
  test::AddBytes(data, 0x100, 0x200);
  std::ofstream(root / "app.hex", std::ios::binary) << test::HexText(data);
  const PortDirectory ports = tree.Ports();
  StationFormRecorder form;
  StationWindow window(form, {ports, {}, (root / "logs").string()});
  window.FormCreate();
  window.OpenFile((root / "app.hex").string());
  window.StartStopClick();
  ASSERT_TRUE(form.RunUntil(window, [&] { return form.screen.startStopCaption == "Stop"; }));

  const StationPort a{"/dev/ttyUSB0", SocketA, "usb-a", "usb-a"};
  const StationPort b{"/dev/ttyUSB1", SocketB, "usb-b", "usb-b"};
  const auto passed = [](double seconds) {
    return BoardResult{DownloadOutcome::Downloaded, 0, "", seconds, ""};
  };
  struct Step {
    const char* what;
    std::function<void()> act;
    std::string headline;  // tile A's
    unsigned percent;
    std::string perBoard;  // the header's time per board
  };
  const Step steps[] = {
      {"a board starts", [&] { window.BoardStarted(a); }, "Flashing 0 %", 0, "-"},
      {"a page of three", [&] { window.BoardProgress(a, 1, 3); }, "Flashing 33 %", 33, "-"},
      {"only the last of several pages counts",
       [&] {
         window.BoardProgress(a, 2, 4);
         window.BoardProgress(a, 3, 4);
       },
       "Flashing 75 %", 75, "-"},
      {"never past the end", [&] { window.BoardProgress(a, 9, 4); }, "Flashing 100 %", 100, "-"},
      {"a board passes", [&] { window.BoardEnded(a, passed(2.5)); }, "Passed in " + SecondsText(2.5), 0,
       SecondsText(2.5)},
      {"a finished tile ignores progress, and no tile appears for it",
       [&] {
         window.BoardProgress(a, 2, 4);
         window.BoardProgress(b, 2, 4);
       },
       "Passed in " + SecondsText(2.5), 0, SecondsText(2.5)},
      {"progress not yet drawn when a board ends is not the next board's",
       [&] {
         window.BoardStarted(a);
         window.BoardProgress(a, 1, 4);
         window.BoardEnded(a, {DownloadOutcome::EraseCommunicationError, 4, "no answer", 9.0, ""});
         window.BoardStarted(a);
       },
       "Flashing 0 %", 0, SecondsText(2.5)},
      {"a failure leaves the time per board alone",
       [&] {
         window.BoardEnded(a, {DownloadOutcome::EraseCommunicationError, 4, "no answer", 9.0, ""});
       },
       "Failed", 0, SecondsText(2.5)},
      {"the time per board is the passed boards' mean",
       [&] {
         window.BoardStarted(a);
         window.BoardEnded(a, passed(3.5));
       },
       "Passed in " + SecondsText(3.5), 0, SecondsText(3.0)},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.act();
    ASSERT_TRUE(form.RunUntil(window,
                              [&] {
                                return !form.screen.tiles.empty() &&
                                       form.screen.tiles[0].headline == step.headline &&
                                       form.screen.header[3] == "Time per board: " + step.perBoard;
                              }))
        << form.screen.tiles.size() << " tiles; " << form.screen.header[3];
    EXPECT_EQ(form.screen.tiles.size(), 1u);
    EXPECT_EQ(form.screen.tiles[0].percent, step.percent);
  }
}

}  // namespace
}  // namespace kv
