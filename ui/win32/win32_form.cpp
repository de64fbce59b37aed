#include "ui/win32/win32_form.h"

#include <commctrl.h>

#include <exception>

#include "line/port.h"
#include "ui/window.h"

namespace kv {
namespace {

constexpr wchar_t WindowClassName[] = L"TForm1";
// Posted by LoadAtStart: the start file is loaded from the message loop, the window already up.
constexpr UINT LoadStartFileMessage = WM_APP + 1;

enum MenuId : WORD {
  LoadFileId = 101,   // "Load File" on the bar
  SendId = 102,       // "Send" on the bar
  FirstPortId = 111,  // "COM1"; the other port items follow in order
};

bool IsPortItem(WORD id) {
  return id >= FirstPortId && id < FirstPortId + layout::PortItemCount;
}

}  // namespace

Win32Form::Win32Form(HINSTANCE instance) : instance_(instance), dpi_(SystemDpi()) {
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
  ::InitCommonControlsEx(&controls);

  RegisterFormClass(instance_, WindowClassName, FormWindowProc<Win32Form>);

  BuildMenu();
  // The client area keeps its designed size whatever the frame, caption and menu bar take: with the
  // classic metrics at 96 dpi this is the designed outer size; thicker frames make the window larger
  // rather than crop the status bar. The screen position is not scaled.
  RECT bounds{0, 0, Scaled(layout::ClientWidth), Scaled(layout::StatusBarTop + layout::StatusBarHeight)};
  ::AdjustWindowRectEx(&bounds, WS_OVERLAPPEDWINDOW, TRUE, 0);
  window_ = ::CreateWindowExW(0, WindowClassName, L"", WS_OVERLAPPEDWINDOW, layout::WindowLeft,
                              layout::WindowTop, bounds.right - bounds.left, bounds.bottom - bounds.top,
                              nullptr, menuBar_, instance_, this);
  if (!window_) {
    ::DestroyMenu(menuBar_);  // no window took it
    return;
  }
  BuildControls();
}

Win32Form::~Win32Form() {
  if (window_) ::DestroyWindow(window_);
  if (windowFont_) ::DeleteObject(windowFont_);
  if (labelFont_) ::DeleteObject(labelFont_);
}

int Win32Form::Scaled(int pixels) const {
  return ::MulDiv(pixels, dpi_, LayoutDpi);
}

void Win32Form::BuildMenu() {
  menuBar_ = ::CreateMenu();
  setupMenu_ = ::CreatePopupMenu();
  // No accelerator letters: Alt and the arrow keys reach every item.
  ::AppendMenuW(menuBar_, MF_STRING, LoadFileId, Widen(layout::LoadFileCaption).c_str());
  ::AppendMenuW(menuBar_, MF_STRING, SendId, Widen(layout::SendCaption).c_str());
  for (int n = 1; n <= layout::PortItemCount; ++n) {
    const UINT id = FirstPortId + n - 1;
    ::AppendMenuW(setupMenu_, MF_STRING, id, Widen(PortName(n)).c_str());
    // Drawn as a radio item (a dot, not a tick).
    MENUITEMINFOW item{};
    item.cbSize = sizeof(item);
    item.fMask = MIIM_FTYPE;
    item.fType = MFT_STRING | MFT_RADIOCHECK;
    ::SetMenuItemInfoW(setupMenu_, id, FALSE, &item);
  }
  ::AppendMenuW(menuBar_, MF_POPUP, reinterpret_cast<UINT_PTR>(setupMenu_),
                Widen(layout::SetupCaption).c_str());
}

void Win32Form::BuildControls() {
  windowFont_ = MakeFont(layout::FontFamily, layout::FontPoints, dpi_);
  labelFont_ = MakeFont(layout::FontFamily, layout::LabelFontPoints, dpi_);
  const auto child = [this](const wchar_t* className, DWORD style, const layout::Rect& r) {
    return ::CreateWindowExW(0, className, L"", WS_CHILD | WS_VISIBLE | style, Scaled(r.left), Scaled(r.top),
                             Scaled(r.width), Scaled(r.height), window_, nullptr, instance_, nullptr);
  };

  progressBar_ = child(PROGRESS_CLASSW, PBS_SMOOTH, layout::ProgressBar);
  SetProgressBar(layout::ProgressInitialMax, 0);

  label_ = child(L"STATIC", SS_CENTER | SS_NOPREFIX, layout::Label);
  ::SendMessageW(label_, WM_SETFONT, reinterpret_cast<WPARAM>(labelFont_), FALSE);
  SetLabelText("0 %");

  statusBar_ = child(STATUSCLASSNAMEW, SBARS_SIZEGRIP, layout::Rect{0, 0, 0, 0});
  ::SendMessageW(statusBar_, WM_SETFONT, reinterpret_cast<WPARAM>(windowFont_), FALSE);
  panelTip_ =
      ::CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr, instance_, nullptr);
  PlaceStatusBar();
}

void Win32Form::PlaceStatusBar() {
  ::SendMessageW(statusBar_, WM_SIZE, 0, 0);  // it docks itself to the bottom edge
  std::array<int, layout::PanelWidths.size()> rightEdges{};
  int edge = 0;
  for (size_t i = 0; i < rightEdges.size(); ++i) {
    edge += Scaled(layout::PanelWidths[i]);
    rightEdges[i] = edge;
  }
  ::SendMessageW(statusBar_, SB_SETPARTS, rightEdges.size(), reinterpret_cast<LPARAM>(rightEdges.data()));
  if (!panelTipText_.empty()) {
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof(tool);
    tool.hwnd = statusBar_;
    ::SendMessageW(statusBar_, SB_GETRECT, static_cast<WPARAM>(Panel::Main),
                   reinterpret_cast<LPARAM>(&tool.rect));
    ::SendMessageW(panelTip_, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

void Win32Form::Show(int showCommand) {
  ::ShowWindow(window_, showCommand);
  ::UpdateWindow(window_);
}

void Win32Form::LoadAtStart(std::string nativePath) {
  startFile_ = std::move(nativePath);
  ::PostMessageW(window_, LoadStartFileMessage, 0, 0);
}

void Win32Form::SetCaption(std::string_view text) {
  ::SetWindowTextW(window_, Widen(text).c_str());
}

void Win32Form::SetPanelText(Panel panel, std::string_view text) {
  ::SendMessageW(statusBar_, SB_SETTEXTW, static_cast<WPARAM>(panel),
                 reinterpret_cast<LPARAM>(Widen(text).c_str()));
}

void Win32Form::SetPanelTip(std::string_view text) {
  TTTOOLINFOW tool{};
  tool.cbSize = sizeof(tool);
  tool.hwnd = statusBar_;
  tool.uFlags = TTF_SUBCLASS;
  ::SendMessageW(panelTip_, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  panelTipText_ = Widen(text);
  if (panelTipText_.empty()) return;
  tool.lpszText = panelTipText_.data();
  ::SendMessageW(statusBar_, SB_GETRECT, static_cast<WPARAM>(Panel::Main),
                 reinterpret_cast<LPARAM>(&tool.rect));
  ::SendMessageW(panelTip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

void Win32Form::CheckPortItem(int n) {
  ::CheckMenuRadioItem(setupMenu_, FirstPortId, FirstPortId + layout::PortItemCount - 1, FirstPortId + n - 1,
                       MF_BYCOMMAND);
}

void Win32Form::SetPortItemTip(int n, std::string_view text) {
  // Win32 menus have no tooltips; like every native program, the window shows an item's tip in its
  // status bar while the item is highlighted, on the bar's one line.
  std::wstring tip = Widen(text);
  for (size_t line = tip.find(L'\n'); line != std::wstring::npos; line = tip.find(L'\n', line)) {
    tip.replace(line, 1, L"; ");
  }
  portItemTips_.at(static_cast<size_t>(n - 1)) = std::move(tip);
}

void Win32Form::SetProgressBar(uint16_t maximum, uint16_t position) {
  ::SendMessageW(progressBar_, PBM_SETRANGE32, 0, maximum);
  ::SendMessageW(progressBar_, PBM_SETPOS, position, 0);
}

void Win32Form::SetLabelText(std::string_view text) {
  const std::wstring wide = Widen(text);
  ::SetWindowTextW(label_, wide.c_str());
  // The label fits its text, its left edge fixed.
  HDC dc = ::GetDC(label_);
  if (!dc) return;
  HGDIOBJ previous = ::SelectObject(dc, labelFont_);
  SIZE extent{};
  ::GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &extent);
  ::SelectObject(dc, previous);
  ::ReleaseDC(label_, dc);
  ::SetWindowPos(label_, nullptr, 0, 0, extent.cx, extent.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Form::ShowMessage(std::string_view text) {
  // Before the window is first shown (start-up's setting-file messages) the box stands on its own.
  ShowProgramMessage(::IsWindowVisible(window_) ? window_ : nullptr, text);
}

bool Win32Form::ChooseFile(std::span<const FileChoice> choices, std::string& path) {
  return ChooseNativeFile(::IsWindowVisible(window_) ? window_ : nullptr, choices, path);
}

std::string Win32Form::DisplayPath(std::string_view nativePath) {
  return DisplayNativePath(nativePath);
}

void Win32Form::ProcessMessages() {
  MSG message;
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      ::PostQuitMessage(static_cast<int>(message.wParam));  // the main loop must see it too
      return;
    }
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
}

void Win32Form::Close() {
  // Handled once the running handler has returned, as a click on the close box would be.
  ::PostMessageW(window_, WM_CLOSE, 0, 0);
}

LRESULT Win32Form::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wParam) == 0 && lParam == 0) OnCommand(LOWORD(wParam));
      return 0;
    case WM_INITMENUPOPUP:
      // The "Setup" menu is opening: its items' tips are worked out again.
      if (reinterpret_cast<HMENU>(wParam) == setupMenu_ && form1_) form1_->Setup1Click();
      return 0;
    case WM_MENUSELECT:
      OnMenuSelect(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_EXITMENULOOP:
      ::SendMessageW(statusBar_, SB_SIMPLE, FALSE, 0);  // the panels again
      return 0;
    case WM_SIZE:
      if (statusBar_) PlaceStatusBar();
      return 0;
    case LoadStartFileMessage:
      if (form1_) form1_->LoadStartFile(startFile_);
      return 0;
    case WM_CLOSE:
      if (!form1_ || form1_->FormClose()) ::DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      window_ = nullptr;
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

void Win32Form::OnCommand(WORD id) {
  if (!form1_) return;
  if (id == LoadFileId) {
    form1_->LoadFile1Click();
  } else if (id == SendId) {
    form1_->Send1Click();
  } else if (IsPortItem(id)) {
    (form1_->*PortItemHandlers[static_cast<size_t>(id - FirstPortId)])();
  }
}

void Win32Form::OnMenuSelect(WORD id, WORD flags) {
  const bool portItem = !(flags & MF_POPUP) && IsPortItem(id);
  const std::wstring* tip = portItem ? &portItemTips_[id - FirstPortId] : nullptr;
  if (!tip || tip->empty()) {
    ::SendMessageW(statusBar_, SB_SIMPLE, FALSE, 0);
    return;
  }
  ::SendMessageW(statusBar_, SB_SIMPLE, TRUE, 0);
  ::SendMessageW(statusBar_, SB_SETTEXTW, SB_SIMPLEID, reinterpret_cast<LPARAM>(tip->c_str()));
}

int RunMessageLoop() {
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}

}  // namespace kv
