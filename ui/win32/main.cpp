// ld6193.exe: the KV6193 System File Loader window on Windows. An optional argument names a HEX file to
// load at start, as if chosen with "Load File" (Explorer's "Open with" passes it so). It always exits
// with 0: the window is built hidden, start-up runs (its setting-file messages come before the window),
// the window is shown, and the message loop runs until the window has closed. An exception that escapes
// is shown in a box titled with the program's name.
//
// `ld6193.exe --station [FILE]` opens the production station's window instead, FILE opened in it as if
// chosen with "Open…"; it also exits with 0 once its window has closed.
#include <chrono>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "station/daily_log.h"
#include "ui/station_window.h"
#include "ui/win32/win32_form.h"
#include "ui/win32/win32_station_form.h"
#include "ui/window.h"

#include <shellapi.h>  // after windows.h, which the form's header brings

namespace {

constexpr std::wstring_view StationSwitch = L"--station";

// What the command line asks for: the station window or the main one, and a file to open at start in
// the encoding of the narrow file calls (nothing when none is given).
struct Arguments {
  bool station = false;
  std::optional<std::string> file;
};

Arguments ReadArguments() {
  int count = 0;
  LPWSTR* arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (!arguments) return {};
  Arguments read;
  int fileAt = 1;
  if (count > 1 && arguments[1] == StationSwitch) {
    read.station = true;
    fileAt = 2;
  }
  if (count > fileAt) read.file = kv::Narrow(arguments[fileAt], CP_ACP);
  ::LocalFree(arguments);
  return read;
}

const char* Environment(const char* name) {
  return std::getenv(name);
}

void RunStation(HINSTANCE instance, int showCommand, std::optional<std::string> file) {
  const kv::PortDirectory ports = kv::SystemPortDirectory();
  // The form outlives the behaviour: the station's threads post to it until the behaviour has ended them.
  kv::Win32StationForm form(instance);
  if (!form.Created()) {
    kv::ShowProgramMessage(nullptr, "The window could not be created: Windows refused it.");
    return;
  }
  kv::RunEnvironment runs;
  runs.start = std::chrono::steady_clock::now();  // trace times count from here
  kv::StationWindow station(form, {ports, std::move(runs), kv::DailyLogFolder(Environment)});
  form.Attach(station);
  station.FormCreate();
  form.Present(showCommand);
  // Opened once the message loop runs, the window already up, as if chosen with "Open…".
  if (file) form.Post([&station, path = std::move(*file)] { station.OpenFile(path); });
  form.RunMessageLoop();
}

void RunProgram(HINSTANCE instance, int showCommand, std::optional<std::string> file) {
  kv::WindowLink link = kv::MakeWindowLink();
  kv::Win32Form form(instance);
  if (!form.Created()) {
    kv::ShowProgramMessage(nullptr, "The window could not be created: Windows refused it.");
    return;
  }
  kv::TForm1 form1(form, *link.port, *link.clock, *link.ports);
  form.Attach(form1);
  form1.FormCreate();
  form.Show(showCommand);
  if (file) form.LoadAtStart(std::move(*file));
  kv::RunMessageLoop();
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/, int showCommand) {
  try {
    Arguments arguments = ReadArguments();
    if (arguments.station) {
      RunStation(instance, showCommand, std::move(arguments.file));
    } else {
      RunProgram(instance, showCommand, std::move(arguments.file));
    }
  } catch (const std::exception& error) {
    kv::ShowProgramMessage(nullptr, error.what());
  } catch (...) {
    kv::ShowProgramMessage(nullptr, "");
  }
  return 0;
}
