// The station's core on a fake port tree and scripted boards on virtual time, as the station window
// drives it: the slot each board is plugged into, its progress, Flash all, and the two steps of Stop.
// A board can be held: its line goes quiet (without time passing) until the test lets it go or the
// station shuts its port.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "station/station.h"
#include "tests/support/fake_port.h"
#include "tests/support/fake_tree.h"

namespace kv {
namespace {

using test::FakePort;
using test::FakeTree;
using test::VirtualClock;
using ::testing::ElementsAre;

// A healthy board; while `held`, its line stays quiet and no time passes, so its download waits.
class BoardPort : public FakePort {
 public:
  BoardPort(VirtualClock& clock, const std::atomic<bool>& held) : FakePort(clock), held_(held) {
    responder = AnswerAsAHealthyLoader;
  }
  ReadResult PortReadByte() override {
    if (!held_.load()) return FakePort::PortReadByte();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return {ReadStatus::NoByte, 0};
  }

 private:
  const std::atomic<bool>& held_;
};

// The events, one line each, as they came: "started NAME SLOT ADAPTER", "progress NAME DONE/PAGES",
// "ended NAME EXIT", "gone NAME SLOT", "left NAME SLOT", "tally P F R", "stopping", "end CODE".
class EventRecord : public StationObserver {
 public:
  void FirstLook(const std::vector<StationPort>& leftAlone) override {
    for (const StationPort& port : leftAlone) Add("left " + port.name + " " + port.slot);
  }
  void BoardStarted(const StationPort& port) override {
    Add("started " + port.name + " " + port.slot + " " + port.adapter);
  }
  void BoardProgress(const StationPort& port, unsigned done, unsigned pages) override {
    Add("progress " + port.name + " " + std::to_string(done) + "/" + std::to_string(pages));
  }
  void BoardEnded(const StationPort& port, const BoardResult& result) override {
    Add("ended " + port.name + " " + std::to_string(result.exitCode));
  }
  void PortGone(const StationPort& port) override { Add("gone " + port.name + " " + port.slot); }
  void TallyChanged(const StationTally& t) override {
    Add("tally " + std::to_string(t.passed) + " " + std::to_string(t.failed) + " " +
        std::to_string(t.flashing));
  }
  void StoppingOnceRunsEnd() override { Add("stopping"); }
  void BoardTrace(const StationPort& /*port*/, std::string_view /*line*/) override {}
  void Ended(int exitCode) override { Add("end " + std::to_string(exitCode)); }

  // Waits until `count` events equal to `event` have come; false after a minute (a hang is the fault).
  bool WaitFor(const std::string& event, size_t count = 1) {
    std::unique_lock lock(mutex_);
    return came_.wait_for(lock, std::chrono::minutes(1), [&] {
      return static_cast<size_t>(std::count(events_.begin(), events_.end(), event)) >= count;
    });
  }
  std::vector<std::string> Events() {
    const std::lock_guard lock(mutex_);
    return events_;
  }
  // The events that start with `prefix`.
  std::vector<std::string> Only(const std::string& prefix) {
    std::vector<std::string> some;
    for (const std::string& event : Events()) {
      if (event.starts_with(prefix)) some.push_back(event);
    }
    return some;
  }

 private:
  void Add(std::string event) {
    {
      const std::lock_guard lock(mutex_);
      events_.push_back(std::move(event));
    }
    came_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable came_;
  std::vector<std::string> events_;
};

constexpr const char* SocketA = "pci-0000:00:14.0-usb-0:1:1.0-port0";
constexpr const char* SocketB = "pci-0000:00:14.0-usb-0:2:1.0-port0";

class StationCore : public ::testing::Test {
 protected:
  StationCore() {
    for (uint32_t offset = 0; offset < 0x300; ++offset) file_.image.StoreByte(1, offset, 0x5A);  // 3 pages
    file_.name = "APP";
  }

  StationSetup Setup(std::vector<DeviceTarget> given = {}) {
    RunEnvironment runs;
    runs.makeLink = [this](const DeviceTarget& target, const PortResolver&) {
      auto clock = std::make_unique<VirtualClock>();
      auto port = std::make_unique<BoardPort>(*clock, target.name == heldName_ ? held_ : free_);
      return SerialLink{std::move(clock), std::move(port)};
    };
    return {file_, log_, ports_, runs, std::move(given)};
  }

  FakeTree tree_;
  const PortDirectory ports_ = tree_.Ports();
  LoadedFile file_;
  RunLog log_;
  EventRecord events_;
  std::string heldName_;  // the device whose board is held
  std::atomic<bool> held_{true};
  const std::atomic<bool> free_{false};
};

// A board is known by the socket it is plugged into; a line with no socket is a slot of its own. Its
// progress comes between its start and its end, page by page, and its log row names its slot.
TEST_F(StationCore, EachBoardIsToldWithItsSlotAndProgressAndLoggedWithItsSlot) {
  const std::string logPath = tree_.Root() + "/line.jsonl";
  ASSERT_EQ(OpenRunLog(logPath, "app.hex", file_, {}, log_), "");
  tree_.Adapter("ttyUSB0", "1-1", "FTDI", "FT232R", "usb-FTDI_early-if00", SocketA);
  Station station(Setup(), events_);
  ASSERT_TRUE(station.Start().started);
  const std::string early = tree_.Dev("ttyUSB0");
  ASSERT_TRUE(events_.WaitFor("tally 0 0 0"));
  EXPECT_THAT(events_.Events(), ElementsAre("left " + early + " " + SocketA, "tally 0 0 0"));

  tree_.Adapter("ttyUSB1", "1-2", "FTDI", "FT232R", "usb-FTDI_board-if00", SocketB);
  tree_.Adapter("ttyACM0", "1-3", "", "", "");  // no links: its own slot
  const std::string board = tree_.Dev("ttyUSB1");
  const std::string bare = tree_.Dev("ttyACM0");
  ASSERT_TRUE(events_.WaitFor("tally 2 0 0"));
  tree_.Unplug("ttyUSB1");
  ASSERT_TRUE(events_.WaitFor("gone " + board + " " + SocketB));
  station.Stop();
  station.WaitUntilEnded();

  EXPECT_THAT(events_.Only("started"),
              testing::UnorderedElementsAre("started " + board + " " + SocketB + " usb-FTDI_board-if00",
                                            "started " + bare + " " + bare + " "));
  const std::vector<std::string> seen = events_.Only("progress " + board);
  EXPECT_THAT(seen, ElementsAre("progress " + board + " 0/3", "progress " + board + " 1/3",
                                "progress " + board + " 2/3", "progress " + board + " 3/3"));
  const std::vector<std::string> all = events_.Events();
  const auto at = [&all](const std::string& event) {
    return std::find(all.begin(), all.end(), event) - all.begin();
  };
  EXPECT_LT(at("started " + board + " " + SocketB + " usb-FTDI_board-if00"), at(seen.front()));
  EXPECT_LT(at(seen.back()), at("ended " + board + " 0"));
  EXPECT_EQ(all.back(), "end 0");

  std::ifstream in(logPath);
  std::set<std::string> slots;
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    const nlohmann::json row = nlohmann::json::parse(line);
    slots.insert(row["device"].get<std::string>() + " " + row["slot"].get<std::string>());
  }
  EXPECT_EQ(slots, (std::set<std::string>{board + " " + SocketB, bare + " " + bare}));
}

// Flash all flashes the boards left plugged in, once each, and leaves a board that flashes to its run.
TEST_F(StationCore, FlashAllFlashesEveryPortPresentOnceAndLeavesARunningBoardToItsRun) {
  tree_.Adapter("ttyUSB0", "1-1", "FTDI", "FT232R", "usb-a", SocketA);
  tree_.Adapter("ttyUSB1", "1-2", "FTDI", "FT232R", "usb-b", SocketB);
  const std::string a = tree_.Dev("ttyUSB0");
  const std::string b = tree_.Dev("ttyUSB1");
  heldName_ = b;
  Station station(Setup(), events_);
  ASSERT_TRUE(station.Start().started);
  ASSERT_TRUE(events_.WaitFor("tally 0 0 0"));
  EXPECT_EQ(events_.Only("left").size(), 2u) << "plugged in before the start";

  station.FlashAll();
  ASSERT_TRUE(events_.WaitFor("ended " + a + " 0"));
  EXPECT_TRUE(station.Flashing()) << b << " is held";
  station.FlashAll();  // a's board again; b's is still flashing
  ASSERT_TRUE(events_.WaitFor("ended " + a + " 0", 2));
  held_.store(false);
  station.WaitUntilIdle();
  EXPECT_FALSE(station.Flashing());
  EXPECT_THAT(events_.Only("started"), ElementsAre("started " + a + " " + SocketA + " usb-a",
                                                   "started " + b + " " + SocketB + " usb-b",
                                                   "started " + a + " " + SocketA + " usb-a"));
  EXPECT_EQ(station.Tally(), (StationTally{3, 0, 0}));
  station.Stop();
  station.WaitUntilEnded();
  EXPECT_EQ(events_.Only("started").size(), 3u) << "the looks leave flashed boards alone";
}

// Boards that end while the ends of others are being told are each told, counted and joined once.
TEST_F(StationCore, BoardsEndingTogetherAreEachToldOnce) {
  constexpr int Boards = 16;
  for (int i = 0; i < Boards; ++i) {
    tree_.Adapter("ttyUSB" + std::to_string(i), "1-" + std::to_string(i), "", "", "usb-" + std::to_string(i));
  }
  Station station(Setup(), events_);
  ASSERT_TRUE(station.Start().started);
  ASSERT_TRUE(events_.WaitFor("tally 0 0 0"));
  for (int round = 1; round <= 3; ++round) {
    station.FlashAll();
    ASSERT_TRUE(events_.WaitFor("tally " + std::to_string(round * Boards) + " 0 0"));
  }
  station.Stop();
  station.WaitUntilEnded();
  EXPECT_EQ(events_.Only("ended").size(), 3u * Boards);
}

// The first Stop lets a running board finish and starts no new one; the second shuts the running
// ones down, and the station ends as interrupted.
TEST_F(StationCore, TheFirstStopLetsRunningBoardsFinishTheSecondShutsThemDown) {
  for (const int stops : {1, 2}) {
    SCOPED_TRACE(stops);
    FakeTree tree;
    const PortDirectory ports = tree.Ports();
    EventRecord events;
    StationSetup setup = Setup();
    Station station({file_, log_, ports, setup.runs}, events);
    ASSERT_TRUE(station.Start().started);
    ASSERT_TRUE(events.WaitFor("tally 0 0 0"));
    heldName_ = tree.Dev("ttyUSB0");
    held_.store(true);
    tree.Adapter("ttyUSB0", "1-1", "FTDI", "FT232R", "usb-held");
    ASSERT_TRUE(events.WaitFor("tally 0 0 1"));
    station.Stop();
    ASSERT_TRUE(events.WaitFor("stopping"));
    tree.Adapter("ttyUSB1", "1-2", "FTDI", "FT232R", "usb-late");  // never started
    if (stops == 2) {
      station.Stop();
    } else {
      held_.store(false);
    }
    station.WaitUntilEnded();
    EXPECT_FALSE(station.Running());
    const int code = stops == 2 ? 130 : 0;
    EXPECT_EQ(station.ExitCode(), code);
    EXPECT_EQ(events.Events().back(), "end " + std::to_string(code));
    EXPECT_EQ(events.Only("started").size(), 1u);
    EXPECT_EQ(station.Tally(), (StationTally{stops == 1 ? 1u : 0u, stops == 2 ? 1u : 0u, 0}));
  }
}

}  // namespace
}  // namespace kv
