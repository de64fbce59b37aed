#include "ui/win32/win32_common.h"

#include <commdlg.h>

namespace kv {
namespace {

// Enough for any path the shell hands out, long ones included.
constexpr DWORD PathCapacity = 32768;

// The program file's name without folder and extension: the title of every message box.
std::wstring ProgramName() {
  std::wstring path(MAX_PATH, L'\0');
  path.resize(::GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
  const size_t start = path.find_last_of(L"\\/") + 1;  // npos + 1 is 0
  const size_t dot = path.rfind(L'.');
  return path.substr(start, dot == std::wstring::npos || dot < start ? std::wstring::npos : dot - start);
}

// "name\0pattern\0" for each choice, then the closing NUL.
std::wstring FilterOf(std::span<const FileChoice> choices) {
  std::wstring filter;
  for (const FileChoice& choice : choices) {
    filter += Widen(choice.name);
    filter += L'\0';
    filter += Widen(choice.pattern);
    filter += L'\0';
  }
  filter += L'\0';
  return filter;
}

// True when the ANSI code page holds every character of the path. Where the manifest has made it
// UTF-8 (Windows 10 1903 and later) every path fits.
bool FitsCodePage(std::wstring_view path) {
  if (::GetACP() == CP_UTF8 || path.empty()) return true;
  BOOL lossy = FALSE;
  ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.data(), static_cast<int>(path.size()), nullptr, 0,
                        nullptr, &lossy);
  return !lossy;
}

constexpr std::string_view UnnamableFileMessage =
    "This file's name or folder has characters that this version of Windows cannot pass to the "
    "program. Rename the file, or copy it to a folder whose path has only plain letters, and load it "
    "again.";

}  // namespace

void ShowProgramMessage(HWND owner, std::string_view text) {
  ::MessageBoxW(owner, Widen(text).c_str(), ProgramName().c_str(), MB_OK);
}

std::wstring Widen(std::string_view text, UINT codePage) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int wide = ::MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  std::wstring result(static_cast<size_t>(wide), L'\0');
  ::MultiByteToWideChar(codePage, 0, text.data(), size, result.data(), wide);
  return result;
}

std::string Narrow(std::wstring_view text, UINT codePage) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int narrow = ::WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<size_t>(narrow), '\0');
  ::WideCharToMultiByte(codePage, 0, text.data(), size, result.data(), narrow, nullptr, nullptr);
  return result;
}

bool ChooseNativeFile(HWND owner, std::span<const FileChoice> choices, std::string& path) {
  const std::wstring filter = FilterOf(choices);
  std::wstring chosen(PathCapacity, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof(dialog);
  dialog.hwndOwner = owner;
  dialog.lpstrFilter = filter.c_str();
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = chosen.data();
  dialog.nMaxFile = PathCapacity;
  // No read-only box and one file; a typed name of a missing file comes back unchanged. The working
  // folder stays where the program started, so the setting file is always written there.
  dialog.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (!::GetOpenFileNameW(&dialog)) return false;
  if (!FitsCodePage(chosen.c_str())) {
    // The narrow file calls could not name this file: it would be reported as missing.
    ShowProgramMessage(owner, UnnamableFileMessage);
    return false;
  }
  path = Narrow(chosen.c_str(), CP_ACP);
  return true;
}

std::string DisplayNativePath(std::string_view nativePath) {
  return Narrow(Widen(nativePath, CP_ACP));
}

int SystemDpi() {
  HDC screen = ::GetDC(nullptr);
  if (!screen) return LayoutDpi;
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : LayoutDpi;
}

HFONT MakeFont(std::string_view family, int points, int dpi, int weight) {
  const std::wstring face = Widen(family);
  return ::CreateFontW(-::MulDiv(points, dpi, 72), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS,
                       face.c_str());
}

void RegisterFormClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = instance;
  windowClass.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(1));
  if (!windowClass.hIcon) windowClass.hIcon = ::LoadIconW(nullptr, IDI_APPLICATION);
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = name;
  ::RegisterClassExW(&windowClass);
}

}  // namespace kv
