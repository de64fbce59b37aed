// On Windows, Windows gives the COM numbers: COMn is the device \\.\COMn (the only form that also opens
// COM10 and above), and the device manager says what each present one is.
#include <windows.h>

#include <memory>
#include <utility>

#include "line/port.h"
#include "ports/port_names.h"
#include "ports/win32_port_list.h"

namespace kv {

std::vector<PresentPort> FindPresentPorts(const std::string& /*root*/) {
  return SurveyPorts({}).present;
}

// Serial drivers list the ports they run under HARDWARE\DEVICEMAP\SERIALCOMM, a volatile key that
// comes with the first port; its parent, which is always there, is watched with everything below it.
// A few virtual-port drivers never write there, so every fifth question answers yes all the same.
// Windows ties the notice to the thread that asked for it: Changed and Wait run on one thread.
struct PortChanges::Watch {
  static constexpr int QuestionsPerFullLook = 5;

  ~Watch() {
    if (key) ::RegCloseKey(key);
    for (HANDLE event : {changed, wake}) {
      if (event) ::CloseHandle(event);
    }
  }
  // Asks for the next change; not armed, every question answers yes.
  void Arm() {
    ::ResetEvent(changed);
    armed = ::RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, changed,
                                      TRUE) == ERROR_SUCCESS;
  }
  bool Signalled() const { return armed && ::WaitForSingleObject(changed, 0) == WAIT_OBJECT_0; }

  HKEY key = nullptr;
  HANDLE changed = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE wake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE interrupt = nullptr;  // the caller's, raised by a Ctrl-C: not closed here
  bool armed = false;
  bool seen = false;  // a Wait saw a change that no question has been told yet
  int questions = 0;
};

PortChanges::PortChanges(const std::string& /*root*/, WakeHandle interrupt)
    : watch_(std::make_unique<Watch>()) {
  if (interrupt != NoWakeHandle) watch_->interrupt = reinterpret_cast<HANDLE>(interrupt);
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP", 0, KEY_NOTIFY, &watch_->key) !=
      ERROR_SUCCESS) {
    watch_->key = nullptr;
  }
}
PortChanges::~PortChanges() = default;

bool PortChanges::AlsoWatch(const std::string& /*path*/) {
  return false;  // \\.\COMn names no folder to watch
}

bool PortChanges::Changed() {
  Watch& watch = *watch_;
  if (!watch.key || !watch.changed) return true;
  const bool noticed = std::exchange(watch.seen, false) || watch.Signalled();
  if (watch.armed && !noticed && ++watch.questions < Watch::QuestionsPerFullLook) return false;
  watch.Arm();
  watch.questions = 0;
  return true;
}

void PortChanges::Wait(std::chrono::milliseconds limit) {
  Watch& watch = *watch_;
  HANDLE events[3];
  DWORD count = 0;
  for (HANDLE event : {watch.wake, watch.interrupt}) {
    if (event) events[count++] = event;
  }
  const DWORD changedAt = count;
  if (watch.armed) events[count++] = watch.changed;
  if (count == 0) {
    ::Sleep(static_cast<DWORD>(limit.count()));
    return;
  }
  // An auto-reset event (a wake, an interrupt) is taken in by the wait that it ends.
  const DWORD ended = ::WaitForMultipleObjects(count, events, FALSE, static_cast<DWORD>(limit.count()));
  if (watch.armed && ended == WAIT_OBJECT_0 + changedAt) {
    // Taken in here, or the next Wait would return at once while nobody asks.
    watch.seen = true;
    watch.Arm();
  }
}

void PortChanges::Wake() {
  if (watch_->wake) ::SetEvent(watch_->wake);
}

PortSurvey SurveyPorts(const PortPlaces& /*places*/) {
  return SurveyDeviceManager(*SystemDeviceManager());
}

ForgetResult ForgetPortNumber(const PortPlaces& /*places*/, int n) {
  return {ForgetOutcome::Failed, "Windows gives the COM numbers: to free " + PortName(n) +
                                     ", change its port's number in Device Manager (Ports, the port's "
                                     "Properties, Port Settings, Advanced)"};
}

std::string DefaultNumbersFile(const EnvironmentLookup& /*environment*/) {
  return {};
}

std::string DefaultPortDevice(int n) {
  return "\\\\.\\" + PortName(n);
}

}  // namespace kv
