// window_probe.exe: prints, in UTF-8, what a person would read in the running ld6193.exe, so that a
// script driving the window under wine waits for texts instead of waiting for time to pass.
//   window_probe.exe        status panel 0 of the window
//   window_probe.exe box    the text of the open message box (titled "ld6193"), once it is the active
//                           window: a key pressed while a new box is not yet active would be lost
//   window_probe.exe ok     presses the open message box's OK button, as a click does
//   window_probe.exe station   the station window: "header: " and each header line, "tally: " and the
//                              tally, then "tile: " and each tile's lines (joined by " | "), in order
// Exits 0 with the text, 1 when there is no such window or it does not answer.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "ui/win32/win32_station_form.h"

namespace {

// WM_GETTEXT, which Windows carries across processes; a status bar answers it with its first panel.
bool ReadText(HWND window, std::wstring& text) {
  std::array<wchar_t, 4096> buffer{};
  DWORD_PTR length = 0;
  if (!::SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                             SMTO_ABORTIFHUNG, 5000, &length)) {
    return false;
  }
  text.assign(buffer.data(), length);
  return true;
}

// A message box's text is its static control that has text (the icon's has none).
HWND BoxTextControl(HWND box) {
  for (HWND child = ::FindWindowExW(box, nullptr, L"Static", nullptr); child;
       child = ::FindWindowExW(box, child, L"Static", nullptr)) {
    std::wstring text;
    if (ReadText(child, text) && !text.empty()) return child;
  }
  return nullptr;
}

void Print(const std::wstring& text) {
  const int wide = static_cast<int>(text.size());
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, utf8.data(), size, nullptr, nullptr);
  utf8 += '\n';
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written,
              nullptr);
}

// The station window's header, tally and tiles; false when there is none or it does not answer.
bool PrintStation() {
  HWND station = ::FindWindowW(kv::StationWindowClass, nullptr);
  std::wstring text;
  if (!station || !ReadText(::GetDlgItem(station, kv::StationHeaderId), text)) return false;
  std::wstring lines;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find(L"\r\n", start), text.size());
    lines += L"header: " + text.substr(start, end - start) + L"\n";
    start = end + 2;
  }
  if (!ReadText(::GetDlgItem(station, kv::StationTallyId), text)) return false;
  lines += L"tally: " + text;
  // A new child goes below its elder siblings, and tiles are made in their order: they come in it here.
  for (HWND tile = ::FindWindowExW(station, nullptr, kv::StationTileClass, nullptr); tile;
       tile = ::FindWindowExW(station, tile, kv::StationTileClass, nullptr)) {
    if (!ReadText(tile, text)) return false;
    lines += L"\ntile: " + text;
  }
  Print(lines);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "station") return PrintStation() ? 0 : 1;
  HWND source = nullptr;
  if (argc > 1 && std::string_view(argv[1]) == "ok") {
    HWND box = ::FindWindowW(L"#32770", L"ld6193");
    HWND button = box ? ::GetDlgItem(box, IDOK) : nullptr;
    return button && ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                                    reinterpret_cast<LPARAM>(button))
               ? 0
               : 1;
  }
  if (argc > 1 && std::string_view(argv[1]) == "box") {
    HWND box = ::FindWindowW(L"#32770", L"ld6193");  // the dialog class of message boxes
    source = box && ::GetForegroundWindow() == box ? BoxTextControl(box) : nullptr;
  } else {
    HWND form = ::FindWindowW(L"TForm1", nullptr);
    source = form ? ::FindWindowExW(form, nullptr, STATUSCLASSNAMEW, nullptr) : nullptr;
  }
  std::wstring text;
  if (!source || !ReadText(source, text)) return 1;
  Print(text);
  return 0;
}
