// window_probe.exe: prints what status panel 0 of the running ld6193.exe window shows, in UTF-8, so that
// a script driving the window under wine can wait for what a person would read there instead of
// waiting for time to pass. Exits 0 with the text, 1 when no such window exists or it does not answer.
#include <windows.h>

#include <commctrl.h>

#include <array>
#include <string>

int main() {
  // The window is found by its class; the status bar is its only child of that class. A status bar
  // answers WM_GETTEXT with its first panel, and Windows carries that message across processes.
  HWND form = ::FindWindowW(L"TForm1", nullptr);
  HWND statusBar = form ? ::FindWindowExW(form, nullptr, STATUSCLASSNAMEW, nullptr) : nullptr;
  if (!statusBar) return 1;
  std::array<wchar_t, 4096> text{};
  DWORD_PTR length = 0;
  if (!::SendMessageTimeoutW(statusBar, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, 5000, &length)) {
    return 1;
  }
  const int wide = static_cast<int>(length);
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, utf8.data(), size, nullptr, nullptr);
  utf8 += '\n';
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written,
              nullptr);
  return 0;
}
