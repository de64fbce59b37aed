// The serial lines of a Linux machine, found through /dev/serial/by-id and /sys/class/tty, and the
// numbers file that keeps their COM numbers: read and replaced under a lock, replaced atomically.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <utility>

#include "base/system_error.h"
#include "line/port.h"
#include "ports/port_names.h"
#include "ports/port_numbers.h"

namespace kv {
namespace fs = std::filesystem;
namespace {

// The first line of a small sysfs attribute, or "" when it cannot be read.
std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line;
}

// "FTDI FT232R USB UART": the manufacturer and product of the USB device above the tty, found by
// walking up from its sysfs device folder to the first one that carries them.
std::string UsbDescription(const fs::path& sys, const std::string& name) {
  std::error_code error;
  fs::path folder = fs::canonical(sys / "class/tty" / name / "device", error);
  if (error) return {};
  const fs::path top = fs::weakly_canonical(sys, error);
  for (; folder.has_relative_path() && folder != top; folder = folder.parent_path()) {
    const std::string product = ReadAttribute(folder / "product");
    if (product.empty()) continue;
    const std::string maker = ReadAttribute(folder / "manufacturer");
    return maker.empty() ? product : maker + " " + product;
  }
  return {};
}

bool IsAdapterName(const std::string& name) {
  return name.starts_with("ttyUSB") || name.starts_with("ttyACM");
}

// ttyS2 before ttyS10: by prefix, then by number.
bool NaturalLess(const std::string& a, const std::string& b) {
  const auto digits = [](const std::string& s) { return s.find_first_of("0123456789"); };
  const size_t da = digits(a);
  const size_t db = digits(b);
  if (da == std::string::npos || db == std::string::npos || a.compare(0, da, b, 0, db) != 0) return a < b;
  const std::string na = a.substr(da);
  const std::string nb = b.substr(db);
  return na.size() != nb.size() ? na.size() < nb.size() : na < nb;
}

std::vector<std::string> SortedNames(const fs::path& folder, bool (*keep)(const fs::path&)) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (keep(entry.path())) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end(), NaturalLess);
  return names;
}

// A /dev/serial/by-id link: its name and where it leads.
struct ByIdLink {
  std::string tty;   // the kernel's name of the line: "ttyUSB0"
  fs::path device;   // what the link leads to: "/dev/ttyUSB0" for udev's links, wherever another's go
  std::string link;  // "usb-FTDI_FT232R_USB_UART_A9-if00-port0"
};

// The tty each /dev/serial/by-id link points at, in the links' name order; these names do not change
// while the same adapters are plugged in, whatever order the kernel numbered them in.
std::vector<ByIdLink> AdaptersById(const fs::path& dev) {
  std::vector<ByIdLink> adapters;
  std::vector<std::string> links;
  std::error_code listError;
  for (const auto& entry : fs::directory_iterator(dev / "serial/by-id", listError)) {
    links.push_back(entry.path().filename().string());
  }
  std::sort(links.begin(), links.end());
  for (const std::string& link : links) {
    std::error_code error;
    const fs::path target = fs::read_symlink(dev / "serial/by-id" / link, error);
    if (!error) {
      adapters.push_back(
          {target.filename().string(), (dev / "serial/by-id" / target).lexically_normal(), link});
    }
  }
  return adapters;
}

// The kernel name of the line each /dev/serial/by-path link leads to, and the link's name: the socket
// the line's adapter is plugged into. Where udev makes two links for one line (the older name and the
// one with the USB revision), the first in name order is taken, so that a slot keeps its name.
std::map<std::string, std::string> SlotsByPath(const fs::path& dev) {
  std::vector<std::string> links;
  std::error_code listError;
  for (const auto& entry : fs::directory_iterator(dev / "serial/by-path", listError)) {
    links.push_back(entry.path().filename().string());
  }
  std::sort(links.begin(), links.end());
  std::map<std::string, std::string> slots;
  for (const std::string& link : links) {
    std::error_code error;
    const fs::path target = fs::read_symlink(dev / "serial/by-path" / link, error);
    if (!error) slots.try_emplace(target.filename().string(), link);
  }
  return slots;
}

// A ttyS line exists only when its UART type is known: the kernel makes ttyS0 to ttyS3 (or more)
// whether or not there is a UART behind them, with type 0 ("unknown").
bool IsRealUart(const fs::path& sysTty) {
  const std::string type = ReadAttribute(sysTty / "type");
  return !type.empty() && type != "0";
}

}  // namespace

std::vector<PresentPort> FindPresentPorts(const std::string& root) {
  const fs::path dev = fs::path(root) / "dev";
  const fs::path sys = fs::path(root) / "sys";
  std::vector<PresentPort> ports;
  std::set<std::string> taken;
  const std::map<std::string, std::string> slots = SlotsByPath(dev);
  // An adapter is known by its by-id name; a line without one by its kernel name.
  const auto add = [&](const std::string& name, const fs::path& device, const std::string& key,
                       const std::string& byId, std::string fallback) {
    if (!taken.insert(name).second) return;
    std::string description = UsbDescription(sys, name);
    PresentPort& port = ports.emplace_back();
    port.key = key;
    port.device = device.string();
    port.description = description.empty() ? std::move(fallback) : std::move(description);
    if (const auto slot = slots.find(name); slot != slots.end()) port.slot = slot->second;
    port.adapter = byId;
  };
  for (const ByIdLink& adapter : AdaptersById(dev))
    add(adapter.tty, adapter.device, adapter.link, adapter.link, adapter.link);
  const fs::path ttys = sys / "class/tty";
  const auto adapter = [](const fs::path& p) { return IsAdapterName(p.filename().string()); };
  for (const std::string& name : SortedNames(ttys, adapter)) add(name, dev / name, name, {}, {});
  const auto uart = [](const fs::path& p) {
    return p.filename().string().starts_with("ttyS") && IsRealUart(p);
  };
  for (const std::string& name : SortedNames(ttys, uart))
    add(name, dev / name, name, {}, "on-board serial port");
  return ports;
}

// Device nodes come and go in /dev (devtmpfs) and udev's links in /dev/serial/by-id and by-path, which
// udev makes with the first adapter and may take away with the last; /dev/serial is watched so that a
// link folder made later is watched from the moment it exists.
//
// A watch can fail: inotify out of instances or watches, or a given path's folder not made yet. Until
// every folder needed is watched, each question answers yes (the caller looks in full), a Wait lasts
// at most MissingWatchLook, and each question tries the watches again.
struct PortChanges::Watch {
  static constexpr uint32_t Events = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF;
  // The first is needed; the others may be missing, since the folder above reports their making.
  static constexpr const char* Folders[] = {"dev", "dev/serial", "dev/serial/by-id", "dev/serial/by-path"};
  static constexpr std::chrono::milliseconds MissingWatchLook{1000};

  Watch(const std::string& root, WakeHandle interrupt)
      : root(root), wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), interrupt(static_cast<int>(interrupt)) {}
  ~Watch() {
    for (const int fd : {events, wake}) {
      if (fd >= 0) ::close(fd);
    }
  }

  // Watches the folders there are now (adding one already watched changes nothing); true when every
  // folder needed is watched.
  bool WatchFolders() {
    if (events < 0) events = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (events < 0) return false;
    bool all = true;
    for (const char* folder : Folders) {
      const bool mayBeMissing = folder != Folders[0];
      all = (Add(fs::path(root) / folder) || (mayBeMissing && errno == ENOENT)) && all;
    }
    for (const fs::path& folder : extraFolders) all = Add(folder) && all;
    return all;
  }
  bool Add(const fs::path& folder) const { return ::inotify_add_watch(events, folder.c_str(), Events) >= 0; }

  // Reads all that `fd` holds; true when it held something (an inotify overflow included).
  static bool Drain(int fd) {
    alignas(inotify_event) char buffer[4096];
    bool any = false;
    while (fd >= 0) {
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got > 0) {
        any = true;
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      break;  // EAGAIN: nothing more for now
    }
    return any;
  }

  std::string root;
  std::vector<fs::path> extraFolders;  // those of the paths watched besides the port search's
  int events = -1;                     // inotify; -1 until the kernel gives one
  int wake;                            // an eventfd that Wake counts up
  int interrupt;                       // the caller's eventfd that a Ctrl-C raises; -1: none
  bool asked = false;
  bool watching = false;  // every folder needed is watched
  bool changed = false;   // a Wait saw a change that no question has been told yet
};

PortChanges::PortChanges(const std::string& root, WakeHandle interrupt)
    : watch_(std::make_unique<Watch>(root, interrupt)) {}
PortChanges::~PortChanges() = default;

bool PortChanges::AlsoWatch(const std::string& path) {
  // A link or node comes and goes in its folder; a folder not there yet is looked for at each question.
  std::error_code error;
  watch_->extraFolders.push_back(fs::absolute(path, error).parent_path());
  watch_->asked = false;  // the next question adds the watch
  return true;
}

bool PortChanges::Changed() {
  Watch& watch = *watch_;
  const bool first = !std::exchange(watch.asked, true);
  const bool changed = Watch::Drain(watch.events) || std::exchange(watch.changed, false);
  if (!changed && !first && watch.watching) return false;
  // A folder may have been made or taken away: watch what is there before the caller looks, so
  // that nothing made after this moment goes unreported.
  watch.watching = watch.WatchFolders();
  Watch::Drain(watch.events);
  return true;
}

void PortChanges::Wait(std::chrono::milliseconds limit) {
  Watch& watch = *watch_;
  if (!watch.watching) limit = std::min(limit, Watch::MissingWatchLook);
  pollfd fds[] = {{watch.wake, POLLIN, 0}, {watch.interrupt, POLLIN, 0}, {watch.events, POLLIN, 0}};
  // A negative descriptor is left out by poll; with none, it just sleeps.
  if (::poll(fds, 3, static_cast<int>(limit.count())) <= 0) return;
  if (fds[0].revents) Watch::Drain(watch.wake);
  if (fds[1].revents) Watch::Drain(watch.interrupt);
  // Taken in here, or the next Wait would return at once while nobody asks.
  if (fds[2].revents && Watch::Drain(watch.events)) watch.changed = true;
}

void PortChanges::Wake() {
  const uint64_t one = 1;
  // A refused write means a full counter: a wake is pending anyway.
  if (watch_->wake >= 0) (void)!::write(watch_->wake, &one, sizeof one);
}

namespace {

// How long a change waits for another program's change of the numbers file (a few milliseconds each)
// before it gives up; new numbers then hold for now.
constexpr auto LockPatience = std::chrono::seconds(3);
constexpr auto LockRetry = std::chrono::milliseconds(5);
// A bigger file is no numbers file: it is not read.
constexpr off_t LargestNumbersFile = 1 << 20;
// Links followed from the numbers file to the file it stands for, as the system's own limit.
constexpr int MostLinks = 40;

// The file a link at `path` leads to, through any chain of links; `path` itself when it is no link.
// False with the reason when the chain does not end.
bool LinkTarget(std::string& path, std::string& why) {
  for (int hops = 0; hops < MostLinks; ++hops) {
    std::error_code notALink;
    const fs::path next = fs::read_symlink(path, notALink);
    if (notALink) return true;
    // Not normalised: ".." after a folder that is itself a link means what the system makes of it.
    path = (fs::path(path).parent_path() / next).string();
  }
  why = SystemReason(ELOOP);
  return false;
}

// Makes `name` for writing, never through a link and never over another file. Only a writer that
// holds the lock makes it, so one already there was left by a program that died mid-write (or is
// something else of that name): it is taken away once (a link itself, never what it leads to).
int CreateFresh(const std::string& name, mode_t mode) {
  for (int attempt = 0;; ++attempt) {
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST || attempt > 0 || ::unlink(name.c_str()) != 0) return fd;
  }
}

// Writes all of `text`; 0 or the cause.
int WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t put = ::write(fd, text.data(), text.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return put < 0 ? errno : ENOSPC;
    text.remove_prefix(static_cast<size_t>(put));
  }
  return ::fsync(fd) == 0 ? 0 : errno;
}

// The numbers file. Reading needs no lock (a write replaces the whole file at once); a change is made
// under the lock, which is on a file of its own ("<file>.lock") and held until this object goes.
class NumbersFile {
 public:
  explicit NumbersFile(std::string path) : path_(std::move(path)) {}
  // Takes the lock, making the folder first where needed. Without the lock nothing can be written.
  void Lock() {
    std::error_code ignored;  // a folder that cannot be made shows in the open below
    fs::create_directories(fs::path(path_).parent_path(), ignored);
    // Whatever stands there, the open neither waits (a FIFO) nor makes a file where a link leads.
    lock_ = ::open((path_ + ".lock").c_str(),
                   O_RDWR | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
    if (lock_ < 0) {
      lockProblem_ = SystemReason(errno);
      return;
    }
    const auto deadline = std::chrono::steady_clock::now() + LockPatience;
    while (::flock(lock_, LOCK_EX | LOCK_NB) != 0) {
      if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() > deadline) {
        lockProblem_ = errno == EWOULDBLOCK ? "another program holds its lock" : SystemReason(errno);
        return;
      }
      std::this_thread::sleep_for(LockRetry);
    }
  }
  ~NumbersFile() {
    if (lock_ >= 0) ::close(lock_);  // and with it the lock
  }
  NumbersFile(const NumbersFile&) = delete;
  NumbersFile& operator=(const NumbersFile&) = delete;

  const std::string& Path() const { return path_; }

  // The file's text ("" when there is none yet), or false with the reason it cannot be read. Only a
  // plain file is opened: opening a FIFO would wait for a writer, a device would be woken. The open
  // does not wait either, and what it opened is checked again, in case the file was swapped between.
  bool Read(std::string& text, std::string& why) const {
    struct stat info {};
    if (::stat(path_.c_str(), &info) != 0) {
      if (errno == ENOENT) return true;
      why = SystemReason(errno);
      return false;
    }
    if (!S_ISREG(info.st_mode)) {
      why = "not a plain file";
      return false;
    }
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
      why = SystemReason(errno);
      return false;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      why = "not a plain file";
    } else if (info.st_size > LargestNumbersFile) {
      why = "too large for a numbers file";
    } else {
      text.resize(static_cast<size_t>(info.st_size));
      size_t have = 0;
      while (have < text.size()) {
        const ssize_t got = ::read(fd, text.data() + have, text.size() - have);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) why = SystemReason(errno);
        if (got <= 0) break;
        have += static_cast<size_t>(got);
      }
      text.resize(have);
    }
    ::close(fd);
    return why.empty();
  }

  // Replaces the file's text all at once: a reader sees the old text or the new, never a part. Where
  // the file is a link, the file it leads to is replaced, in its own folder, and the link stays.
  // Returns "" or the reason it could not.
  std::string Replace(const std::string& text) const {
    if (lock_ < 0 || !lockProblem_.empty()) return "cannot lock it: " + lockProblem_;
    std::string target = path_;
    if (std::string why; !LinkTarget(target, why)) return why;
    mode_t mode = 0644;
    struct stat info {};
    if (::stat(target.c_str(), &info) == 0) {
      // A file made read-only is left alone, by root too.
      if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(target.c_str(), W_OK) != 0) {
        return "read-only file";
      }
      mode = info.st_mode & 07777;
    }
    const std::string next = target + ".new";
    const int fd = CreateFresh(next, mode);
    if (fd < 0) return SystemReason(errno);
    int error = WriteAll(fd, text);
    ::close(fd);
    if (error == 0 && ::rename(next.c_str(), target.c_str()) != 0) error = errno;
    if (error != 0) {
      ::unlink(next.c_str());
      return SystemReason(static_cast<unsigned long>(error));
    }
    if (const int folder = ::open(fs::path(target).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        folder >= 0) {
      ::fsync(folder);  // the rename itself outlives a power cut
      ::close(folder);
    }
    return {};
  }

 private:
  std::string path_;
  int lock_ = -1;
  std::string lockProblem_;  // why the lock could not be had: nothing is written then
};

// The file's kept numbers, or false with the reason it cannot be used.
bool ReadKept(const NumbersFile& file, std::string& text, ParsedNumbers& parsed, std::string& why) {
  if (!file.Read(text, why)) return false;
  parsed = ParseNumbers(text);
  why = parsed.problem;
  return why.empty();
}

}  // namespace

PortSurvey SurveyPorts(const PortPlaces& places) {
  PortSurvey survey;
  survey.present = FindPresentPorts(places.root);
  if (places.numbersFile.empty()) {
    NumberInFoundOrder(survey.present);
    survey.notice = "COM numbers cannot be kept (no home folder): COMn is the n-th serial port found";
    return survey;
  }
  NumbersFile file(places.numbersFile);
  const std::vector<PresentPort> found = std::move(survey.present);
  for (bool locked = false;; locked = true) {
    survey.present = found;
    std::string text;
    std::string why;
    ParsedNumbers parsed;
    if (!ReadKept(file, text, parsed, why)) {
      // Nothing is written: the person may want to mend the file as it is.
      NumberInFoundOrder(survey.present);
      survey.notice = FallbackNotice(file.Path(), why);
      return survey;
    }
    const std::vector<KeptNumber> added = NumberPorts(parsed.kept, survey.present);
    survey.absent = AbsentPorts(parsed.kept, survey.present);
    if (added.empty()) return survey;
    if (!locked) {
      // New adapters: read again under the lock, since another program may be numbering them now.
      file.Lock();
      continue;
    }
    if (const std::string problem = file.Replace(WithNumbers(text, added)); !problem.empty()) {
      survey.notice = UnsavedNotice(file.Path(), problem, added);
    }
    return survey;
  }
}

ForgetResult ForgetPortNumber(const PortPlaces& places, int n) {
  const std::string name = PortName(n);
  if (places.numbersFile.empty()) return {ForgetOutcome::Failed, "no numbers file: no home folder is known"};
  NumbersFile file(places.numbersFile);
  // A number nobody keeps needs no change: the lock (and the folder) are made only for one.
  for (bool locked = false;; locked = true) {
    std::string text;
    std::string why;
    ParsedNumbers parsed;
    if (!ReadKept(file, text, parsed, why))
      return {ForgetOutcome::Failed, "cannot change " + file.Path() + ": " + why};
    const auto row = std::find_if(parsed.kept.begin(), parsed.kept.end(),
                                  [n](const KeptNumber& k) { return k.number == n; });
    if (row == parsed.kept.end()) return {ForgetOutcome::NotKept, name + " is kept for no adapter"};
    if (!locked) {
      // Read again under the lock, since another program may be changing the file now.
      file.Lock();
      continue;
    }
    if (const std::string problem = file.Replace(WithoutNumber(text, n)); !problem.empty()) {
      return {ForgetOutcome::Failed, "cannot change " + file.Path() + ": " + problem};
    }
    return {ForgetOutcome::Forgotten,
            name + " is free: " + row->key + " gets the lowest free number when next seen"};
  }
}

std::string DefaultNumbersFile(const EnvironmentLookup& environment) {
  // Relative folders in these variables are to be ignored.
  fs::path home;
  if (const char* config = environment("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') {
    home = config;
  } else if (const char* user = environment("HOME"); user != nullptr && user[0] == '/') {
    home = fs::path(user) / ".config";
  } else {
    return {};
  }
  return (home / NumbersFolder / NumbersFileName).string();
}

std::string DefaultPortDevice(int /*n*/) {
  return {};
}

}  // namespace kv
