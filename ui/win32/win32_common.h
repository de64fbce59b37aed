// What both windows on Windows (the main window, win32_form.h, and the station window,
// win32_station_form.h) take from the platform alike: text between UTF-8, the ANSI code page and
// UTF-16; the program's message box; the file-open dialog; the system's dpi and fonts scaled to it.
#pragma once

#include <windows.h>

#include <exception>
#include <span>
#include <string>
#include <string_view>

#include "ui/form.h"

namespace kv {

// The dpi that every layout's pixels are given at.
inline constexpr int LayoutDpi = 96;

// A modal box titled with the program file's name, showing text with one OK button.
void ShowProgramMessage(HWND owner, std::string_view text);

// UTF-8 and the ANSI code page to UTF-16 and back, for the platform's wide calls.
std::wstring Widen(std::string_view text, UINT codePage = CP_UTF8);
std::string Narrow(std::wstring_view text, UINT codePage = CP_UTF8);

// The modal file-open dialog, owned by `owner` (nullptr: on its own), as Form::ChooseFile describes
// it. A chosen file whose name the narrow file calls cannot carry is refused with a message.
bool ChooseNativeFile(HWND owner, std::span<const FileChoice> choices, std::string& path);
// A native path (ANSI code page) as UTF-8.
std::string DisplayNativePath(std::string_view nativePath);

// The window procedure of a form class: the form given to CreateWindowEx (its last argument) is kept in
// the window's user data at WM_NCCREATE, with its window_ set, and handles every message after that in
// its HandleMessage, until the window's last (WM_NCDESTROY), where it is forgotten. No exception may cross
// the platform's frames: it is shown, and the window carries on. A form class makes it its friend.
template <class FormClass>
LRESULT CALLBACK FormWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<FormClass*>(reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams);
    self->window_ = window;
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<FormClass*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!self) return ::DefWindowProcW(window, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    return 0;
  }
  try {
    return self->HandleMessage(window, message, wParam, lParam);
  } catch (const std::exception& error) {
    ShowProgramMessage(window, error.what());
  } catch (...) {
    ShowProgramMessage(window, "");  // nothing to tell but that it happened
  }
  return 0;
}

// Registers a program window's class: its icon (resource 1 of ld6193.rc, else Windows' default), the
// arrow cursor and the dialog colour behind it.
void RegisterFormClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure);

// The screen's dpi; LayoutDpi when it cannot be read.
int SystemDpi();
// A font of `family` at `points` for `dpi`; the platform substitutes its nearest face.
HFONT MakeFont(std::string_view family, int points, int dpi, int weight = FW_NORMAL);

}  // namespace kv
