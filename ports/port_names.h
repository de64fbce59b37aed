// Which device each port number COMn stands for, and the serial ports this machine has.
//
// LD6193_COM<n> always wins. Otherwise COMn is the port that carries number n for good:
//  - on Windows, the number Windows gave the port (its device manager's "USB Serial Port (COM3)");
//  - on Linux, the number this user's numbers file keeps for the adapter (port_numbers.h). The first
//    time an adapter is seen it gets the lowest free number and keeps it; an adapter is known by its
//    /dev/serial/by-id name, an on-board UART by its ttyS name. An absent adapter keeps its number, so
//    a stored choice never moves to another board: COMn is then "not present" and does not open.
// When the numbers file cannot be used, the ports are numbered in the order found (port_numbers.h)
// for that look, and the look carries a notice that says why.
//
// The search runs against a root folder, so that tests can point it at a fake /sys and /dev tree.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv {

// The highest port number a user can give (COM255).
inline constexpr int HighestPortNumber = 255;

// A serial line found on this machine.
struct PresentPort {
  std::string key;             // what it is known by for good: a /dev/serial/by-id name, "ttyS0"; "COM3"
  std::string device;          // what to open: "/dev/ttyUSB0" (under the root given to the search)
  std::string description;     // vendor and product where the system knows them: "FTDI FT232R USB UART"
  int number = 0;              // its COM number; 0 until one is given
  bool namedByNumber = false;  // the device is the number itself (\\.\COM3): lists show no path
  // Where it is plugged in, which stays the same whatever adapter is put there: its /dev/serial/by-path
  // link's name ("pci-0000:00:14.0-usb-0:2:1.0-port0"), Windows' location path
  // ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"); empty when the system gives it no location. (Both
  // initialised here, so that the survey's many brace-made ports may leave them out.)
  std::string slot{};
  std::string adapter{};  // the adapter's identity to show: its by-id link's name, Windows' friendly name
};

// A number kept for an adapter that is not plugged in.
struct KeptNumber {
  int number = 0;
  std::string key;
};

// One look at this machine's serial ports, numbered.
struct PortSurvey {
  std::vector<PresentPort> present;  // each with its number (0 only when all 255 are taken)
  std::vector<KeptNumber> absent;    // numbers kept for adapters not plugged in
  std::string notice;                // why the numbers are not the lasting ones; empty when they are
};

// Where a look goes: the machine's root ("/") and the numbers file (ignored where the system gives the
// numbers).
struct PortPlaces {
  std::string root = "/";
  std::string numbersFile;
};

// Reads an environment variable; nullptr when it is not set.
using EnvironmentLookup = std::function<const char*(const char*)>;

// The serial lines present under `root`, in the order found: USB and ACM adapters by their
// /dev/serial/by-id names, then other USB or ACM lines, then the on-board UARTs that really exist (a
// ttyS whose UART type is not "unknown"); numbered on Windows, not on Linux (platform file).
std::vector<PresentPort> FindPresentPorts(const std::string& root);

// What a thread can sleep on and anyone may raise, a signal handler too: a non-blocking eventfd's
// descriptor on Linux, an auto-reset event's HANDLE on Windows. NoWakeHandle: none.
using WakeHandle = std::intptr_t;
inline constexpr WakeHandle NoWakeHandle = -1;

// Tells whether the serial ports under a root may have changed (a device node or a by-id link came or
// went) since it last said so, and lets a thread sleep until they do: the system reports the changes
// as they happen (platform file). Where it cannot, for now or for good, every question answers yes and
// each look is taken afresh. Changed and Wait belong to one thread; Wake may come from any.
class PortChanges {
 public:
  // `interrupt`, when given, ends every Wait too: the handle a Ctrl-C handler raises.
  explicit PortChanges(const std::string& root, WakeHandle interrupt = NoWakeHandle);
  ~PortChanges();
  PortChanges(const PortChanges&) = delete;
  PortChanges& operator=(const PortChanges&) = delete;

  // Reports the coming and going of `path` too, a device or link outside the folders the port search
  // reads (a link a script makes for a board), also when its folder is made later. False where the
  // platform cannot: the caller must look.
  bool AlsoWatch(const std::string& path);
  // True at the first question, and whenever ports may have come or gone since the last one.
  bool Changed();
  // Returns once ports may have changed, Wake has been called or the interrupt handle raised since the
  // last return, a signal has come, or `limit` has passed.
  void Wait(std::chrono::milliseconds limit);
  // Ends the Wait under way, or else the next one.
  void Wake();

 private:
  struct Watch;
  std::unique_ptr<Watch> watch_;
};

// The present ports with their numbers, and the numbers kept for absent ones; new adapters are
// numbered and written down (platform file).
PortSurvey SurveyPorts(const PortPlaces& places);

// How `--forget-port N` went.
enum class ForgetOutcome {
  Forgotten,  // the number is free again
  NotKept,    // no adapter held it: nothing to do
  Failed,     // the numbers file could not be changed; the text says why
};
struct ForgetResult {
  ForgetOutcome outcome = ForgetOutcome::Failed;
  std::string text;  // one line for the user
};

// Frees COMn's number, so that its adapter gets the lowest free one when next seen (platform file).
ForgetResult ForgetPortNumber(const PortPlaces& places, int n);

// This user's numbers file: $XDG_CONFIG_HOME/ld6193/com-numbers, else ~/.config/ld6193/com-numbers;
// "" where the system gives the numbers or no home folder is known (platform file).
std::string DefaultNumbersFile(const EnvironmentLookup& environment);

// The device for COMn when no present port has that number: "\\.\COMn" on Windows (Windows itself
// says whether it exists), "" on Linux (platform file).
std::string DefaultPortDevice(int n);

// What one COMn stands for.
struct PortEntry {
  int number = 0;
  std::string device;       // empty when nothing stands for it
  std::string description;  // as in PresentPort; empty when the system knows nothing more
  std::string keptFor;      // the absent adapter that keeps this number; empty otherwise
  bool namedByNumber = false;
  bool fromEnvironment = false;
};

// COMn as resolved from the environment and one look at the ports.
PortEntry ResolvePort(int n, const PortSurvey& survey, const EnvironmentLookup& environment);

// COM1 to COM`atLeast`, and further ones while present, kept or named by the environment.
std::vector<PortEntry> ListPorts(const PortSurvey& survey, const EnvironmentLookup& environment, int atLeast);

// "COM1 — /dev/ttyUSB0, FTDI FT232R", "COM2 — /dev/pts/3 (LD6193_COM2)", "COM3 — USB Serial Port
// (COM3), FTDI", "COM4 — not present, kept for usb-FTDI_…", "COM5 — not present".
std::string DescribePortEntry(const PortEntry& entry);

// The n of "COMn" ("com3" too): "COM" in any case, then decimal digits alone. The number is not held
// against the range of port numbers ("COM0" gives 0): each reader says what is wrong in its own terms.
std::optional<int> ParsePortName(std::string_view name);

// The ports list and the notice of the look it came from.
struct PortListing {
  std::vector<PortEntry> entries;
  std::string notice;
};

// What the port that opens COMn asks: which device or line COMn stands for.
class PortResolver {
 public:
  virtual ~PortResolver() = default;
  virtual PortEntry Resolve(int n) const = 0;
};

// One look at the ports, with the environment: every COMn that a run opens (a flash, a gang, a round
// of the station) is resolved from it, however many there are. Nothing changes it after it is made,
// so the devices' threads share it.
class PortLook : public PortResolver {
 public:
  // No look: nothing present, nothing from the environment.
  PortLook() = default;
  // An empty `environment` gives nothing.
  PortLook(PortSurvey survey, EnvironmentLookup environment);

  PortEntry Resolve(int n) const override { return ResolvePort(n, survey_, environment_); }
  PortListing List(int atLeast) const { return {ListPorts(survey_, environment_, atLeast), survey_.notice}; }
  const PortSurvey& Survey() const { return survey_; }

 private:
  PortSurvey survey_;
  EnvironmentLookup environment_ = [](const char*) -> const char* { return nullptr; };
};

// How a directory looks at the ports: SurveyPorts, or what a test puts in its place.
using PortSurveyor = std::function<PortSurvey(const PortPlaces&)>;

// The ports of one machine for one user and one environment. Every look is taken afresh, so what it
// says is true when it is said. The front end owns one and passes it down.
class PortDirectory : public PortResolver {
 public:
  PortDirectory(PortPlaces places, EnvironmentLookup environment, PortSurveyor survey = SurveyPorts)
      : places_(std::move(places)), environment_(std::move(environment)), survey_(std::move(survey)) {}

  // One look, for all that a run resolves.
  PortLook Look() const { return {survey_(places_), environment_}; }
  // COMn at a look of its own: the window's Send, which opens one port.
  PortEntry Resolve(int n) const override { return Look().Resolve(n); }
  PortListing List(int atLeast) const { return Look().List(atLeast); }
  ForgetResult Forget(int n) const { return ForgetPortNumber(places_, n); }
  const PortPlaces& Places() const { return places_; }

 private:
  PortPlaces places_;
  EnvironmentLookup environment_;
  PortSurveyor survey_;
};

// This machine, this user's numbers file and this process's environment. The environment variable
// KV_TEST_PORT_ROOT, for tests, puts the root elsewhere.
PortDirectory SystemPortDirectory();

}  // namespace kv
