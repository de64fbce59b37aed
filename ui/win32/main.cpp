// ld6193.exe: the KV6193 System File Loader window on Windows. An optional argument names a HEX file to
// load at start, as if chosen with "Load File" (Explorer's "Open with" passes it so). It always exits
// with 0: the window is built hidden, start-up runs (its setting-file messages come before the window),
// the window is shown, and the message loop runs until the window has closed. An exception that escapes
// is shown in a box titled with the program's name.
#include <exception>
#include <optional>
#include <string>

#include "ui/win32/win32_form.h"
#include "ui/window.h"

#include <shellapi.h>  // after windows.h, which the form's header brings

namespace {

// The first argument, in the encoding of the narrow file calls; nothing when there is none.
std::optional<std::string> StartFile() {
  int count = 0;
  LPWSTR* arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (!arguments) return std::nullopt;
  std::optional<std::string> file;
  if (count > 1) file = kv::Narrow(arguments[1], CP_ACP);
  ::LocalFree(arguments);
  return file;
}

void RunProgram(HINSTANCE instance, int showCommand) {
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
  if (std::optional<std::string> file = StartFile()) form.LoadAtStart(std::move(*file));
  kv::RunMessageLoop();
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/, int showCommand) {
  try {
    RunProgram(instance, showCommand);
  } catch (const std::exception& error) {
    kv::ShowProgramMessage(nullptr, error.what());
  } catch (...) {
    kv::ShowProgramMessage(nullptr, "");
  }
  return 0;
}
