// ld6193.exe: the KV6193 System File Loader window on Windows. It takes no arguments and always exits
// with 0: the window is built hidden, start-up runs (its setting-file messages come before the window),
// the window is shown, and the message loop runs until the window has closed. An exception that escapes
// is shown in a box titled with the program's name.
#include <exception>

#include "ui/win32/win32_form.h"
#include "ui/window.h"

namespace {

void RunProgram(HINSTANCE instance, int showCommand) {
  kv::WindowLink link = kv::MakeWindowLink();
  kv::Win32Form form(instance);
  if (!form.Created()) {
    kv::ShowProgramMessage(nullptr, "The window could not be created: Windows refused it.");
    return;
  }
  kv::TForm1 form1(form, *link.port, *link.clock);
  form.Attach(form1);
  form1.FormCreate();
  form.Show(showCommand);
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
