// Port numbers to devices over a fake /sys and /dev tree: the search order, numbers that stay with
// their adapter through plugging and unplugging, the numbers file's faults and two programs numbering
// at once; LD6193_COM<n> always wins.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "line/linux_line.h"
#include "ports/port_names.h"
#include "ports/port_numbers.h"
#include "ports/system_port.h"
#include "tests/support/fake_port.h"
#include "tests/support/fake_tree.h"

namespace kv::test {
namespace {
namespace fs = std::filesystem;

EnvironmentLookup Environment(std::map<std::string, std::string> values) {
  return [values = std::move(values)](const char* name) -> const char* {
    const auto found = values.find(name);
    return found == values.end() ? nullptr : found->second.c_str();
  };
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// "COM1 — ..." for COM1 to COM`atLeast` and further numbered ones, one per line, then the notice.
std::string Listing(const PortDirectory& ports, int atLeast = 3) {
  const PortListing listing = ports.List(atLeast);
  std::string text;
  for (const PortEntry& entry : listing.entries) text += DescribePortEntry(entry) + "\n";
  return text + listing.notice;
}

constexpr const char* IdA = "usb-FTDI_FT232R_USB_UART_A9-if00-port0";
constexpr const char* IdB = "usb-Arduino_Uno_75833-if00";
constexpr const char* IdC = "usb-Silicon_Labs_CP2102_0001-if00-port0";
constexpr const char* IdD = "usb-Prolific_PL2303-if00-port0";

TEST(PresentPorts, AdaptersByIdThenOtherAdaptersThenRealUarts) {
  FakeTree tree;
  // Kernel numbers in plug order; the by-id names decide the order here. The socket a line is plugged
  // into is its by-path link's name; where udev makes two (without and with the USB revision), the first.
  const std::string socket2 = "pci-0000:00:14.0-usb-0:2:1.0-port0";
  tree.Adapter("ttyUSB1", "1-1", "FTDI", "FT232R USB UART", IdA, "pci-0000:00:14.0-usbv2-0:2:1.0-port0");
  std::filesystem::create_symlink("../../ttyUSB1", fs::path(tree.Root()) / "dev/serial/by-path" / socket2);
  tree.Adapter("ttyACM0", "1-2", "Arduino", "Uno", IdB);  // no by-path link: no socket known
  tree.Adapter("ttyUSB0", "1-3", "", "CP2102 USB to UART", "", "pci-0000:00:14.0-usb-0:3:1.0-port0");
  tree.Uart("ttyS10", "4");
  tree.Uart("ttyS0", "4");
  tree.Uart("ttyS1", "0");  // phantom
  tree.Uart("ttyS2", "4");

  const std::vector<PresentPort> ports = FindPresentPorts(tree.Root());
  struct Want {
    std::string key, device, description, slot, adapter;
  };
  const Want expected[] = {
      {IdB, tree.Dev("ttyACM0"), "Arduino Uno", "", IdB},
      {IdA, tree.Dev("ttyUSB1"), "FTDI FT232R USB UART", socket2, IdA},
      {"ttyUSB0", tree.Dev("ttyUSB0"), "CP2102 USB to UART", "pci-0000:00:14.0-usb-0:3:1.0-port0", ""},
      {"ttyS0", tree.Dev("ttyS0"), "on-board serial port", "", ""},
      {"ttyS2", tree.Dev("ttyS2"), "on-board serial port", "", ""},
      {"ttyS10", tree.Dev("ttyS10"), "on-board serial port", "", ""},
  };
  ASSERT_EQ(ports.size(), std::size(expected));
  for (size_t i = 0; i < ports.size(); ++i) {
    EXPECT_EQ(ports[i].key, expected[i].key) << i;
    EXPECT_EQ(ports[i].device, expected[i].device) << i;
    EXPECT_EQ(ports[i].description, expected[i].description) << i;
    EXPECT_EQ(ports[i].slot, expected[i].slot) << i;
    EXPECT_EQ(ports[i].adapter, expected[i].adapter) << i;
  }
  EXPECT_TRUE(FindPresentPorts(tree.Root() + "/nowhere").empty());
}

// The station searches again only when told: every way an adapter comes or goes must tell it, by-id
// folders that udev takes away with the last adapter and makes again with the next one included.
TEST(PortChanges, EveryAdapterThatComesOrGoesIsToldOnceAndNothingElse) {
  FakeTree tree;
  const fs::path serial = fs::path(tree.Root()) / "dev/serial";
  PortChanges changes(tree.Root());
  EXPECT_TRUE(changes.Changed()) << "the first question";
  const struct {
    const char* step;
    std::function<void()> make;
  } steps[] = {
      {"an adapter with a by-id link", [&] { tree.Adapter("ttyUSB0", "1-1", "FTDI", "FT232R", IdA); }},
      {"an adapter without one", [&] { tree.Adapter("ttyACM0", "1-2", "", "", ""); }},
      {"an adapter unplugged", [&] { tree.Unplug("ttyACM0"); }},
      {"the last one unplugged, its folders gone",
       [&] {
         tree.Unplug("ttyUSB0");
         fs::remove_all(serial);
       }},
      {"udev's folder made again", [&] { fs::create_directory(serial); }},
      {"its by-id folder made", [&] { fs::create_directory(serial / "by-id"); }},
      {"an adapter in the new folder", [&] { tree.Adapter("ttyUSB1", "1-3", "FTDI", "FT232R", IdC); }},
      {"udev's by-path folder made", [&] { fs::create_directory(serial / "by-path"); }},
      {"the socket's link made after the line's",
       [&] { fs::create_symlink("../../ttyUSB1", serial / "by-path/pci-0000:00:14.0-usb-0:3:1.0-port0"); }},
  };
  for (const auto& step : steps) {
    step.make();
    EXPECT_TRUE(changes.Changed()) << step.step;
    EXPECT_FALSE(changes.Changed()) << step.step << ", asked again";
  }

  // A board given by a path elsewhere, such as a link a script makes.
  const fs::path elsewhere = fs::path(tree.Root()) / "elsewhere";
  fs::create_directory(elsewhere);
  ASSERT_TRUE(changes.AlsoWatch((elsewhere / "board").string()));
  changes.Changed();
  fs::create_symlink(tree.Dev("ttyUSB1"), elsewhere / "board");
  EXPECT_TRUE(changes.Changed()) << "a link made for a board given by its path";

  // A sleeping station wakes for a change (which its next question still reports) or a run's end; a
  // hang here is the fault.
  tree.Unplug("ttyUSB1");
  changes.Wait(std::chrono::hours(1));
  EXPECT_TRUE(changes.Changed()) << "a change that woke the wait";
  std::thread ending([&] { changes.Wake(); });
  changes.Wait(std::chrono::hours(1));
  ending.join();
  EXPECT_FALSE(changes.Changed()) << "woken by a run's end";
}

// A folder that cannot be watched (not made yet here; inotify out of watches takes the same path) must
// not blind the station: every question looks in full and no sleep outlasts a second, until the watch
// is in place; from then on only real changes are told.
TEST(PortChanges, AFolderThatCannotBeWatchedIsLookedAtEverySecondUntilItCanBe) {
  const struct {
    const char* folder;
    bool given;  // the folder of a path given to AlsoWatch, else one the port search reads
  } rows[] = {{"dev", false}, {"elsewhere", true}};
  for (const auto& row : rows) {
    FakeTree tree;
    const fs::path folder = fs::path(tree.Root()) / row.folder;
    fs::remove_all(folder);
    PortChanges changes(tree.Root());
    if (row.given) {
      EXPECT_TRUE(changes.AlsoWatch((folder / "board").string()));
    }
    EXPECT_TRUE(changes.Changed()) << row.folder << ": the first question";
    EXPECT_TRUE(changes.Changed()) << row.folder << ": not watched, so every question looks";
    changes.Wait(std::chrono::hours(1));  // a hang here is the fault
    fs::create_directories(folder);
    EXPECT_TRUE(changes.Changed()) << row.folder << ": made, and watched now";
    EXPECT_FALSE(changes.Changed()) << row.folder << ": nothing more to tell";
    fs::create_symlink(tree.Dev("ttyUSB0"), folder / "board");
    EXPECT_TRUE(changes.Changed()) << row.folder << ": a link made in it";
  }
}

TEST(ListPorts, EnvironmentWinsThenPresentThenKeptNumbers) {
  PortSurvey survey;
  survey.present = {{"a", "/dev/ttyUSB0", "FTDI FT232R", 1},
                    {"b", "/dev/ttyACM0", "", 2},
                    {"ttyS0", "/dev/ttyS0", "on-board serial port", 3},
                    {"ttyS4", "/dev/ttyS4", "on-board serial port", 6}};
  survey.absent = {{4, IdC}, {12, IdD}};
  const auto environment =
      Environment({{"LD6193_COM2", "/dev/pts/7"}, {"LD6193_COM3", ""}, {"LD6193_COM9", "/x"}});
  const std::string rows[] = {
      "COM1 \u2014 /dev/ttyUSB0, FTDI FT232R",
      "COM2 \u2014 /dev/pts/7 (LD6193_COM2)",
      "COM3 \u2014 /dev/ttyS0, on-board serial port",  // set but empty: as if unset
      std::string("COM4 \u2014 not present, kept for ") + IdC,
      "COM5 \u2014 not present",
      "COM6 \u2014 /dev/ttyS4, on-board serial port",  // beyond the first five while present
      "COM9 \u2014 /x (LD6193_COM9)",                  // and wherever the environment names one
      std::string("COM12 \u2014 not present, kept for ") + IdD,
  };
  const std::vector<PortEntry> entries = ListPorts(survey, environment, 5);
  ASSERT_EQ(entries.size(), std::size(rows));
  for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(DescribePortEntry(entries[i]), rows[i]);
  EXPECT_EQ(ResolvePort(4, survey, environment).device, "") << "a kept number opens no other device";
}

TEST(NumbersFile, ReadsWhatAPersonWritesAndRefusesTheWholeFileOnAnyFault) {
  const struct {
    const char* text;
    const char* problem;  // "" when the file is right
  } rows[] = {
      {"# mine\n\n  com12\t usb-x  \r\nCOM3 ttyS0\n", ""},
      {"COM1 a\nCOM256 b\n", "line 2: COM256 is no port number (COM1 to COM255)"},
      {"COM1 a b\n", "line 1: \"COM1 a b\" is not \"COMn NAME\""},
      {"TTY1 a\n", "line 1: \"TTY1 a\" is not \"COMn NAME\""},
      {"COM1 /dev/serial/by-id/a\n",
       "line 1: write the adapter's name alone, without a folder: "
       "/dev/serial/by-id/a"},
      {"COM1 a\n# b\nCOM1 b\n", "line 3: COM1 is given twice"},
      {"COM1 a\nCOM2 a", "line 2: a has two numbers"},
  };
  for (const auto& row : rows) {
    const ParsedNumbers parsed = ParseNumbers(row.text);
    EXPECT_EQ(parsed.problem, row.problem) << row.text;
    EXPECT_EQ(parsed.kept.empty(), *row.problem != '\0') << row.text;
  }
  const ParsedNumbers good = ParseNumbers(rows[0].text);
  ASSERT_EQ(good.kept.size(), 2u);
  EXPECT_EQ(good.kept[0].number, 12);
  EXPECT_EQ(good.kept[0].key, "usb-x");
}

// The bench of the story: adapters come and go, and each keeps its number.
TEST(StickyNumbers, AnAdapterKeepsItsNumberWhileAwayAndNewOnesTakeTheLowestFree) {
  FakeTree tree;
  const PortDirectory ports = tree.Ports();
  tree.Uart("ttyS0", "0");
  EXPECT_EQ(ports.Resolve(1).device, "");
  EXPECT_FALSE(fs::exists(fs::path(tree.NumbersFile()).parent_path())) << "nothing to keep, nothing made";
  tree.Adapter("ttyUSB0", "1-1", "FTDI", "FT232R", IdA);
  EXPECT_EQ(Listing(ports), "COM1 \u2014 " + tree.Dev("ttyUSB0") + ", FTDI FT232R\n" +
                                "COM2 \u2014 not present\nCOM3 \u2014 not present\n");
  tree.Adapter("ttyUSB1", "1-2", "Arduino", "Uno", IdB);  // by-id order would put B first
  EXPECT_EQ(ports.Resolve(2).device, tree.Dev("ttyUSB1"));

  tree.Unplug("ttyUSB0");
  EXPECT_EQ(ports.Resolve(2).device, tree.Dev("ttyUSB1")) << "B keeps COM2";
  EXPECT_EQ(ports.Resolve(1).keptFor, IdA);
  VirtualClock clock;
  SystemPort port(clock, ports);
  EXPECT_EQ(port.OpenPort(1), 1);
  EXPECT_EQ(port.LastOpenError().cause, OpenFailure::NotFound);
  EXPECT_EQ(
      DescribeOpenError(port.LastOpenError())
          .rfind("cannot open COM1 (" + std::string(IdA) + "): no such device; ld6193-flash --list-ports", 0),
      0u)
      << DescribeOpenError(port.LastOpenError());

  tree.Adapter("ttyUSB0", "1-3", "Silicon Labs", "CP2102", IdC);
  EXPECT_EQ(ports.Resolve(3).device, tree.Dev("ttyUSB0")) << "C does not take A's number";
  tree.Adapter("ttyUSB2", "1-1", "FTDI", "FT232R", IdA);  // back, under another kernel name
  EXPECT_EQ(ports.Resolve(1).device, tree.Dev("ttyUSB2"));

  tree.Unplug("ttyUSB1");
  EXPECT_EQ(ports.Forget(2).outcome, ForgetOutcome::Forgotten);
  EXPECT_EQ(ports.Forget(2).outcome, ForgetOutcome::NotKept);
  tree.Adapter("ttyUSB1", "1-4", "Prolific", "PL2303", IdD);
  EXPECT_EQ(ports.Resolve(2).device, tree.Dev("ttyUSB1")) << "D takes the freed COM2";
  EXPECT_EQ(Listing(ports).find("COM4"), std::string::npos) << "nothing beyond what is numbered";

  // The file is the person's: edits are honoured and kept, new numbers appended.
  FakeTree::Write(tree.NumbersFile(), std::string("# bench 3\nCOM7 ") + IdA + "\n");
  EXPECT_EQ(ports.Resolve(7).device, tree.Dev("ttyUSB2"));
  EXPECT_EQ(ReadText(tree.NumbersFile()).rfind(std::string("# bench 3\nCOM7 ") + IdA + "\nCOM1 ", 0), 0u);
}

// A file that cannot be used never stops a look: the ports are numbered in the order found, or the
// numbers kept are kept and the new ones hold for now; a notice says which, and the file is left as it was.
TEST(StickyNumbers, AFileThatCannotBeUsedGivesNumbersForNowAndANotice) {
  const struct {
    const char* what;
    std::string file;  // the numbers file's text before the look
    bool folder;       // a folder stands where the file should be
    bool readOnly;     // the file has no write permission
    int numberOfB;     // what B and A (found in this order) get
    int numberOfA;
    const char* noticeHas;
  } rows[] = {
      {"corrupt", "COM5 " + std::string(IdB) + "\nCOM0 x\n", false, false, 1, 2,
       "com-numbers (line 2: COM0 is no port number (COM1 to COM255)): until it is mended, COMn is the "
       "n-th serial port found"},
      {"a folder", "", true, false, 1, 2, "com-numbers (not a plain file)"},
      {"read-only", "COM3 " + std::string(IdA) + "\n", false, true, 1, 3,
       "com-numbers (read-only file): COM1 usb-Arduino_Uno_75833-if00 holds only for now"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    FakeTree tree;
    tree.Adapter("ttyUSB0", "1-1", "FTDI", "FT232R", IdA);
    tree.Adapter("ttyACM0", "1-2", "Arduino", "Uno", IdB);
    fs::create_directories(fs::path(tree.NumbersFile()).parent_path());
    if (row.folder) {
      fs::create_directory(tree.NumbersFile());
    } else {
      FakeTree::Write(tree.NumbersFile(), row.file);
    }
    if (row.readOnly) fs::permissions(tree.NumbersFile(), fs::perms::owner_read | fs::perms::group_read);

    const PortSurvey survey = SurveyPorts(tree.Ports().Places());
    ASSERT_EQ(survey.present.size(), 2u);
    EXPECT_EQ(survey.present[0].number, row.numberOfB);
    EXPECT_EQ(survey.present[1].number, row.numberOfA);
    EXPECT_NE(survey.notice.find(row.noticeHas), std::string::npos) << survey.notice;
    EXPECT_EQ(survey.notice.rfind("cannot ", 0), 0u) << survey.notice;
    if (!row.folder) {
      EXPECT_EQ(ReadText(tree.NumbersFile()), row.file) << "the file is left as it was";
    }
    EXPECT_EQ(tree.Ports().Forget(3).outcome, ForgetOutcome::Failed) << "nor is it changed by hand";
  }
}

// Two programs that see the same new adapters at the same moment give them the same numbers.
TEST(StickyNumbers, TwoProgramsNumberingAtOnceAgree) {
  for (int round = 0; round < 10; ++round) {
    FakeTree tree;
    tree.Adapter("ttyUSB0", "1-1", "FTDI", "FT232R", IdA);
    tree.Adapter("ttyUSB1", "1-2", "Arduino", "Uno", IdB);
    tree.Adapter("ttyUSB2", "1-3", "Silicon Labs", "CP2102", IdC);
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t children[2];
    for (int i = 0; i < 2; ++i) {
      children[i] = fork();
      ASSERT_GE(children[i], 0);
      if (children[i] == 0) {
        char byte;
        close(go[1]);
        if (read(go[0], &byte, 1) != 0) _exit(3);  // both start when the pipe closes
        std::ofstream(tree.Root() + "/seen" + std::to_string(i)) << Listing(tree.Ports());
        _exit(0);
      }
    }
    close(go[0]);
    close(go[1]);
    for (const pid_t child : children) {
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    const std::string seen = ReadText(tree.Root() + "/seen0");
    EXPECT_EQ(seen, ReadText(tree.Root() + "/seen1")) << "round " << round;
    EXPECT_EQ(seen, Listing(tree.Ports()));
    const ParsedNumbers file = ParseNumbers(ReadText(tree.NumbersFile()));
    EXPECT_EQ(file.problem, "");
    EXPECT_EQ(file.kept.size(), 3u) << "each adapter written once";
  }
}

}  // namespace
}  // namespace kv::test

namespace kv::test {
namespace {

// The holder of a busy line: whoever /proc/locks says holds its lock, else whoever has it open.
TEST(LineHolder, TheLockHolderFirstThenAnyProcessWithTheLineOpen) {
  const fs::path root = fs::path(::testing::TempDir()) / ("kv_holder_" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "proc/300/fd");
  fs::create_directories(root / "proc/77/fd");
  const std::string line = (root / "ttyUSB0").string();
  std::ofstream(line) << "";
  std::ofstream(root / "proc/300/comm") << "ld6193-flash\n";
  std::ofstream(root / "proc/77/comm") << "kv6193-sim\n";
  fs::create_symlink(line, root / "proc/77/fd/5");
  EXPECT_EQ(FindLineHolder(line, root.string()), "kv6193-sim (pid 77)")
      << "no lock: the process with it open";

  struct stat info {};
  ASSERT_EQ(::stat(line.c_str(), &info), 0);
  char entry[128];
  std::snprintf(entry, sizeof entry, "1: FLOCK  ADVISORY  WRITE 300 %02x:%02x:%lu 0 EOF\n",
                major(info.st_dev), minor(info.st_dev), static_cast<unsigned long>(info.st_ino));
  std::ofstream(root / "proc/locks") << "1: POSIX  ADVISORY  READ 12 00:01:2 0 EOF\n" << entry;
  EXPECT_EQ(FindLineHolder(line, root.string()), "ld6193-flash (pid 300)");
  EXPECT_EQ(FindLineHolder((root / "missing").string(), root.string()), "");
  fs::remove_all(root);
}

}  // namespace
}  // namespace kv::test
