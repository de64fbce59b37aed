#include "ui/win32/win32_station_form.h"

#include <commctrl.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "ui/station_window.h"
#include "ui/win32/win32_common.h"

namespace kv {
namespace {

// Posted by Post: the queued tasks are waiting.
constexpr UINT RunTasksMessage = WM_APP + 1;
constexpr UINT_PTR TickTimer = 1;

enum CommandId : WORD {
  OpenId = 101,       // "Open…", Ctrl+O
  StartStopId = 102,  // "Start" or "Stop", F9; also the footer's button
  FlashAllId = 103,   // "Flash all", F5
  ExitId = 104,       // "Exit"; Alt+F4 is the system menu's own
};

enum ControlId : int {
  HeaderId = StationHeaderId,
  SeparatorId = 2,
  TallyId = StationTallyId,
  RateId = 4,
  NoticeId = 5,
  FirstTileId = 100,  // the tiles follow in order
};

// The look, in pixels at 96 dpi; a TrueType face, so that the large sizes stay sharp.
constexpr std::string_view Face = "Tahoma";
constexpr int TextPoints = 9;
constexpr int TallyPoints = 28;  // readable from two metres: at least 24
constexpr int ButtonPoints = 12;
constexpr int SlotPoints = 9;
constexpr int AdapterPoints = 8;
constexpr int HeadlinePoints = 14;
constexpr int DetailPoints = 9;
constexpr int ClientWidth = 760;
constexpr int ClientHeight = 500;
constexpr int MinClientWidth = 560;
constexpr int MinClientHeight = 380;
constexpr int Margin = 12;
constexpr int Gap = 8;  // between tiles, and between the footer's rows
constexpr int ButtonWidth = 140;
constexpr int ButtonHeight = 44;
constexpr int TileMaxWidth = 320;
constexpr int TileMinWidth = 150;
constexpr int TileHeight = 150;
constexpr int TilePad = 8;
constexpr int BarHeight = 14;
constexpr COLORREF NoticeColour = RGB(160, 0, 0);

// A tile's colours: its ground, its main text, and its quieter lines (slot, adapter, detail).
struct TileColours {
  COLORREF ground;
  COLORREF text;
  COLORREF quiet;
};

TileColours ColoursOf(TileState state) {
  switch (state) {
    case TileState::Passed:
      return {RGB(25, 135, 84), RGB(255, 255, 255), RGB(225, 245, 233)};
    case TileState::Failed:
      return {RGB(200, 35, 51), RGB(255, 255, 255), RGB(253, 228, 231)};
    case TileState::Flashing:
      return {RGB(226, 237, 252), RGB(0, 0, 0), RGB(70, 70, 70)};
    case TileState::LeftAlone:
      return {RGB(255, 243, 205), RGB(0, 0, 0), RGB(90, 80, 50)};
    case TileState::Waiting:
      break;
  }
  return {RGB(255, 255, 255), RGB(0, 0, 0), RGB(110, 110, 110)};
}

bool SameLook(const TileScreen& a, const TileScreen& b) {
  return a.slot == b.slot && a.adapter == b.adapter && a.state == b.state && a.headline == b.headline &&
         a.detail == b.detail;
}

// What a screen reader, or a script, reads of the tile: its lines joined by " | ", empty ones left out.
std::wstring SpokenText(const TileScreen& tile) {
  std::string text;
  for (const std::string* line : {&tile.slot, &tile.adapter, &tile.headline, &tile.detail}) {
    if (line->empty()) continue;
    if (!text.empty()) text += " | ";
    text += *line;
  }
  return Widen(text);
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    if (!text.empty()) text += "\r\n";
    text += line;
  }
  return text;
}

int LineHeight(HFONT font) {
  HDC screen = ::GetDC(nullptr);
  if (!screen) return 0;
  HGDIOBJ previous = ::SelectObject(screen, font);
  TEXTMETRICW metrics{};
  ::GetTextMetricsW(screen, &metrics);
  ::SelectObject(screen, previous);
  ::ReleaseDC(nullptr, screen);
  return metrics.tmHeight + metrics.tmExternalLeading;
}

// Columns and tile size for `count` tiles in an area: tiles no wider than TileMaxWidth, and as many
// columns more as it takes to give each row its full height, while they stay at least TileMinWidth.
struct Grid {
  int columns;
  int width;
  int height;
};

Grid GridFor(int count, int areaWidth, int areaHeight, int gap, int maxWidth, int minWidth, int height) {
  const int tiles = std::max(count, 1);
  const auto widthAt = [&](int columns) { return (areaWidth - gap * (columns - 1)) / columns; };
  const auto heightAt = [&](int columns) {
    const int rows = (tiles + columns - 1) / columns;
    return std::min(height, (areaHeight - gap * (rows - 1)) / rows);
  };
  int columns = std::clamp((areaWidth + gap) / (maxWidth + gap), 1, tiles);
  if (widthAt(columns) > maxWidth && columns < tiles) ++columns;
  while (heightAt(columns) < height && columns < tiles && widthAt(columns + 1) >= minWidth) ++columns;
  return {columns, std::min(widthAt(columns), maxWidth), std::max(heightAt(columns), 1)};
}

}  // namespace

// One slot's tile: a window painted whole from what it shows, double-buffered, with a native progress
// bar over it while its board flashes.
class StationTile {
 public:
  StationTile(HWND parent, HINSTANCE instance, const TileLook& look, int id) : look_(look) {
    window_ = ::CreateWindowExW(0, StationTileClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 0, 0,
                                parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    bar_ = ::CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | PBS_SMOOTH, 0, 0, 0, 0, window_, nullptr,
                             instance, nullptr);
    ::SendMessageW(bar_, PBM_SETRANGE32, 0, 100);
  }
  ~StationTile() {
    if (::IsWindow(window_)) ::DestroyWindow(window_);
  }
  StationTile(const StationTile&) = delete;
  StationTile& operator=(const StationTile&) = delete;

  void Show(const TileScreen& tile) {
    if (!drawn_ || !SameLook(tile, shown_)) {
      ::SetWindowTextW(window_, SpokenText(tile).c_str());
      ::InvalidateRect(window_, nullptr, FALSE);
    }
    if (!drawn_ || tile.percent != shown_.percent) {
      ::SendMessageW(bar_, PBM_SETPOS, std::min(tile.percent, 100u), 0);
    }
    ::ShowWindow(bar_, tile.state == TileState::Flashing ? SW_SHOWNA : SW_HIDE);
    shown_ = tile;
    drawn_ = true;
  }

  void Place(int left, int top, int width, int height) {
    ::SetWindowPos(window_, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    ::SetWindowPos(bar_, nullptr, look_.pad, BarTop(), std::max(width - 2 * look_.pad, 0), look_.barHeight,
                   SWP_NOZORDER | SWP_NOACTIVATE);
  }

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<StationTile*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
      case WM_ERASEBKGND:
        return 1;  // WM_PAINT covers every pixel
      case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = ::BeginPaint(window, &paint);
        if (self) self->PaintBuffered(dc);
        ::EndPaint(window, &paint);
        return 0;
      }
      default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
  }

 private:
  int HeadlineTop() const { return look_.pad + look_.slotHeight + look_.adapterHeight; }
  int BarTop() const { return HeadlineTop() + look_.headlineHeight + look_.pad / 2; }

  void PaintBuffered(HDC target) const {
    RECT client{};
    ::GetClientRect(window_, &client);
    HDC dc = ::CreateCompatibleDC(target);
    HBITMAP bitmap = ::CreateCompatibleBitmap(target, client.right, client.bottom);
    if (!dc || !bitmap) {  // no memory for the buffer: straight onto the screen
      if (dc) ::DeleteDC(dc);
      if (bitmap) ::DeleteObject(bitmap);
      Paint(target, client);
      return;
    }
    HGDIOBJ previous = ::SelectObject(dc, bitmap);
    Paint(dc, client);
    ::BitBlt(target, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
    ::SelectObject(dc, previous);
    ::DeleteObject(bitmap);
    ::DeleteDC(dc);
  }

  void Paint(HDC dc, const RECT& client) const {
    const TileColours colours = ColoursOf(shown_.state);
    HBRUSH ground = ::CreateSolidBrush(colours.ground);
    ::FillRect(dc, &client, ground);
    ::DeleteObject(ground);
    ::FrameRect(dc, &client, ::GetSysColorBrush(COLOR_3DSHADOW));
    ::SetBkMode(dc, TRANSPARENT);
    const int left = look_.pad;
    const int right = client.right - look_.pad;
    constexpr UINT OneLine = DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS;
    int top = look_.pad;
    DrawLine(dc, look_.slotFont, colours.quiet, shown_.slot, {left, top, right, top + look_.slotHeight},
             OneLine);
    top += look_.slotHeight;
    DrawLine(dc, look_.adapterFont, colours.quiet, shown_.adapter,
             {left, top, right, top + look_.adapterHeight}, OneLine);
    top += look_.adapterHeight;
    DrawLine(dc, look_.headlineFont, colours.text, shown_.headline,
             {left, top, right, top + look_.headlineHeight}, OneLine);
    if (shown_.state == TileState::Flashing) return;  // the bar stands below the headline
    top = BarTop();
    DrawLine(dc, look_.detailFont, colours.quiet, shown_.detail,
             {left, top, right, client.bottom - look_.pad},
             DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX | DT_END_ELLIPSIS);
  }

  static void DrawLine(HDC dc, HFONT font, COLORREF colour, const std::string& text, RECT box, UINT format) {
    if (text.empty() || box.bottom <= box.top) return;
    const std::wstring wide = Widen(text);
    HGDIOBJ previous = ::SelectObject(dc, font);
    ::SetTextColor(dc, colour);
    ::DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &box, format);
    ::SelectObject(dc, previous);
  }

  const TileLook& look_;
  HWND window_ = nullptr;
  HWND bar_ = nullptr;
  TileScreen shown_;
  bool drawn_ = false;
};

Win32StationForm::Win32StationForm(HINSTANCE instance) : instance_(instance), dpi_(SystemDpi()) {
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                      ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&controls);

  RegisterFormClass(instance_, StationWindowClass, FormWindowProc<Win32StationForm>);

  WNDCLASSEXW tileClass{};
  tileClass.cbSize = sizeof(tileClass);
  tileClass.lpfnWndProc = StationTile::WindowProc;
  tileClass.hInstance = instance_;
  tileClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  tileClass.lpszClassName = StationTileClass;
  ::RegisterClassExW(&tileClass);

  BuildMenu();
  RECT bounds{0, 0, Scaled(ClientWidth), Scaled(ClientHeight)};
  ::AdjustWindowRectEx(&bounds, WS_OVERLAPPEDWINDOW, TRUE, 0);
  window_ = ::CreateWindowExW(0, StationWindowClass, L"", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                              CW_USEDEFAULT, CW_USEDEFAULT, bounds.right - bounds.left,
                              bounds.bottom - bounds.top, nullptr, menuBar_, instance_, this);
  if (!window_) {
    ::DestroyMenu(menuBar_);  // no window took it
    return;
  }
  tasksWindow_ = window_;
  BuildControls();
}

Win32StationForm::~Win32StationForm() {
  if (window_) ::DestroyWindow(window_);
  tiles_.clear();
  if (accelerators_) ::DestroyAcceleratorTable(accelerators_);
  for (HFONT font : {textFont_, tallyFont_, buttonFont_, tileLook_.slotFont, tileLook_.adapterFont,
                     tileLook_.headlineFont, tileLook_.detailFont}) {
    if (font) ::DeleteObject(font);
  }
}

int Win32StationForm::Scaled(int pixels) const {
  return ::MulDiv(pixels, dpi_, LayoutDpi);
}

void Win32StationForm::BuildMenu() {
  menuBar_ = ::CreateMenu();
  stationMenu_ = ::CreatePopupMenu();
  ::AppendMenuW(stationMenu_, MF_STRING, OpenId, L"&Open\u2026\tCtrl+O");
  ::AppendMenuW(stationMenu_, MF_STRING, StartStopId, L"&Start\tF9");
  ::AppendMenuW(stationMenu_, MF_STRING, FlashAllId, L"&Flash all\tF5");
  ::AppendMenuW(stationMenu_, MF_SEPARATOR, 0, nullptr);
  ::AppendMenuW(stationMenu_, MF_STRING, ExitId, L"E&xit\tAlt+F4");
  ::AppendMenuW(menuBar_, MF_POPUP, reinterpret_cast<UINT_PTR>(stationMenu_), L"&Station");

  // The menu's shortcuts; a disabled item's shortcut does nothing, as the item does.
  ACCEL keys[] = {
      {FVIRTKEY | FCONTROL, 'O', OpenId},
      {FVIRTKEY, VK_F9, StartStopId},
      {FVIRTKEY, VK_F5, FlashAllId},
  };
  accelerators_ = ::CreateAcceleratorTableW(keys, static_cast<int>(std::size(keys)));
}

void Win32StationForm::BuildControls() {
  textFont_ = MakeFont(Face, TextPoints, dpi_);
  tallyFont_ = MakeFont(Face, TallyPoints, dpi_, FW_BOLD);
  buttonFont_ = MakeFont(Face, ButtonPoints, dpi_, FW_BOLD);
  textHeight_ = LineHeight(textFont_);
  tallyHeight_ = LineHeight(tallyFont_);
  tileLook_.slotFont = MakeFont(Face, SlotPoints, dpi_, FW_BOLD);
  tileLook_.adapterFont = MakeFont(Face, AdapterPoints, dpi_);
  tileLook_.headlineFont = MakeFont(Face, HeadlinePoints, dpi_, FW_BOLD);
  tileLook_.detailFont = MakeFont(Face, DetailPoints, dpi_);
  tileLook_.slotHeight = LineHeight(tileLook_.slotFont);
  tileLook_.adapterHeight = LineHeight(tileLook_.adapterFont);
  tileLook_.headlineHeight = LineHeight(tileLook_.headlineFont);
  tileLook_.pad = Scaled(TilePad);
  tileLook_.barHeight = Scaled(BarHeight);

  const auto child = [this](const wchar_t* className, DWORD style, int id, HFONT font) {
    HWND control = ::CreateWindowExW(0, className, L"", WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, window_,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
    if (font) ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return control;
  };
  // The header's lines are cut at the edge, never wrapped: each stays on its own line.
  header_ = child(L"STATIC", SS_LEFTNOWORDWRAP | SS_NOPREFIX, HeaderId, textFont_);
  separator_ = child(L"STATIC", SS_ETCHEDHORZ, SeparatorId, nullptr);
  tally_ = child(L"STATIC", SS_LEFTNOWORDWRAP | SS_NOPREFIX, TallyId, tallyFont_);
  rate_ = child(L"STATIC", SS_LEFTNOWORDWRAP | SS_NOPREFIX, RateId, textFont_);
  notice_ = child(L"STATIC", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, NoticeId, textFont_);
  startStop_ = child(L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, StartStopId, buttonFont_);
  ::SetWindowTextW(startStop_, L"Start");
  PlaceControls();
}

void Win32StationForm::PlaceControls() {
  RECT client{};
  ::GetClientRect(window_, &client);
  const int width = client.right;
  const int margin = Scaled(Margin);
  const int gap = Scaled(Gap);
  const auto place = [](HWND control, int left, int top, int w, int h) {
    ::SetWindowPos(control, nullptr, left, top, std::max(w, 0), std::max(h, 0),
                   SWP_NOZORDER | SWP_NOACTIVATE);
  };

  const int headerHeight = static_cast<int>(std::max<size_t>(shown_.header.size(), 1)) * textHeight_;
  place(header_, margin, margin, width - 2 * margin, headerHeight);

  const int footerHeight = gap + tallyHeight_ + 2 * textHeight_ + gap;
  const int footerTop = client.bottom - footerHeight;
  place(separator_, margin, footerTop - gap / 2, width - 2 * margin, 2);
  const int buttonWidth = Scaled(ButtonWidth);
  const int buttonHeight = Scaled(ButtonHeight);
  const int buttonLeft = width - margin - buttonWidth;
  place(startStop_, buttonLeft, footerTop + (footerHeight - buttonHeight) / 2, buttonWidth, buttonHeight);
  const int textWidth = buttonLeft - 2 * margin;
  place(tally_, margin, footerTop + gap, textWidth, tallyHeight_);
  place(rate_, margin, footerTop + gap + tallyHeight_, textWidth, textHeight_);
  place(notice_, margin, footerTop + gap + tallyHeight_ + textHeight_, textWidth, textHeight_);

  const int areaTop = margin + headerHeight + gap;
  const Grid grid = GridFor(static_cast<int>(tiles_.size()), width - 2 * margin, footerTop - gap - areaTop,
                            gap, Scaled(TileMaxWidth), Scaled(TileMinWidth), Scaled(TileHeight));
  for (size_t i = 0; i < tiles_.size(); ++i) {
    const int column = static_cast<int>(i) % grid.columns;
    const int row = static_cast<int>(i) / grid.columns;
    tiles_[i]->Place(margin + column * (grid.width + gap), areaTop + row * (grid.height + gap), grid.width,
                     grid.height);
  }
}

void Win32StationForm::Present(int showCommand) {
  ::ShowWindow(window_, showCommand);
  ::UpdateWindow(window_);
}

int Win32StationForm::RunMessageLoop() {
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (window_ && ::TranslateAcceleratorW(window_, accelerators_, &message)) continue;
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}

void Win32StationForm::Show(const StationScreen& screen) {
  if (!window_) return;
  // Each control is given its text only when it changes: setting it repaints it.
  const auto text = [this](HWND control, const std::string& now, const std::string& before) {
    if (!shownOnce_ || now != before) ::SetWindowTextW(control, Widen(now).c_str());
  };
  text(window_, screen.caption, shown_.caption);
  const bool headerMoves = !shownOnce_ || screen.header.size() != shown_.header.size();
  text(header_, JoinLines(screen.header), JoinLines(shown_.header));
  text(tally_, screen.tally, shown_.tally);
  text(rate_, screen.rate, shown_.rate);
  text(notice_, screen.notice, shown_.notice);
  ShowCommands(screen);
  const bool tilesMove = screen.tiles.size() != tiles_.size();
  ShowTiles(screen.tiles);
  shown_ = screen;
  shownOnce_ = true;
  if (headerMoves || tilesMove) PlaceControls();
}

void Win32StationForm::ShowCommands(const StationScreen& screen) {
  if (!shownOnce_ || screen.startStopCaption != shown_.startStopCaption) {
    const std::wstring caption = Widen(screen.startStopCaption);
    ::SetWindowTextW(startStop_, caption.c_str());
    const std::wstring item = L"&" + caption + L"\tF9";
    ::ModifyMenuW(stationMenu_, StartStopId, MF_BYCOMMAND | MF_STRING, StartStopId, item.c_str());
  }
  const auto enable = [this](WORD id, bool on) {
    ::EnableMenuItem(stationMenu_, id, MF_BYCOMMAND | (on ? MF_ENABLED : MF_GRAYED));
  };
  enable(OpenId, screen.canOpen);
  enable(StartStopId, screen.canStartStop);
  enable(FlashAllId, screen.canFlashAll);
  if (!shownOnce_ || screen.canStartStop != shown_.canStartStop) {
    ::EnableWindow(startStop_, screen.canStartStop ? TRUE : FALSE);
  }
}

void Win32StationForm::ShowTiles(const std::vector<TileScreen>& tiles) {
  // Tiles only come (in a stable order) and all go together at a Start; a tile window is kept for each.
  while (tiles_.size() > tiles.size()) tiles_.pop_back();
  while (tiles_.size() < tiles.size()) {
    const int id = FirstTileId + static_cast<int>(tiles_.size());
    tiles_.push_back(std::make_unique<StationTile>(window_, instance_, tileLook_, id));
  }
  for (size_t i = 0; i < tiles.size(); ++i) tiles_[i]->Show(tiles[i]);
}

void Win32StationForm::Alert() {
  FLASHWINFO flash{};
  flash.cbSize = sizeof(flash);
  flash.hwnd = window_;
  flash.dwFlags = FLASHW_ALL | FLASHW_TIMERNOFG;  // until the operator comes to the window
  ::FlashWindowEx(&flash);
}

void Win32StationForm::ShowMessage(std::string_view text) {
  ShowProgramMessage(window_ && ::IsWindowVisible(window_) ? window_ : nullptr, text);
}

bool Win32StationForm::ChooseFile(std::span<const FileChoice> choices, std::string& path) {
  return ChooseNativeFile(window_ && ::IsWindowVisible(window_) ? window_ : nullptr, choices, path);
}

std::string Win32StationForm::DisplayPath(std::string_view nativePath) {
  return DisplayNativePath(nativePath);
}

void Win32StationForm::Post(std::function<void()> task) {
  const std::lock_guard lock(tasksMutex_);
  if (!tasksWindow_) return;  // the window has gone: dropped
  tasks_.push_back(std::move(task));
  // One message wakes the window for every task queued until it runs them; should the queue of
  // messages be full, the next task tries again.
  if (!wakePosted_) wakePosted_ = ::PostMessageW(tasksWindow_, RunTasksMessage, 0, 0) != FALSE;
}

void Win32StationForm::RunPostedTasks() {
  std::vector<std::function<void()>> tasks;
  {
    const std::lock_guard lock(tasksMutex_);
    tasks.swap(tasks_);
    wakePosted_ = false;
  }
  for (std::function<void()>& task : tasks) {
    if (!window_) return;  // a task closed the window: the rest are dropped with it
    task();
  }
}

void Win32StationForm::DropPostedTasks() {
  std::vector<std::function<void()>> dropped;
  {
    const std::lock_guard lock(tasksMutex_);
    tasksWindow_ = nullptr;
    dropped.swap(tasks_);
  }
  // Destroyed here, outside the lock: a destructor may post again (and be dropped).
}

void Win32StationForm::StartTicks(unsigned ms) {
  ::SetTimer(window_, TickTimer, ms, nullptr);
}

void Win32StationForm::Close() {
  if (window_) ::DestroyWindow(window_);
}

LRESULT Win32StationForm::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      // Menu items and shortcuts (no control), and the Start/Stop button's click.
      if (lParam == 0 || HIWORD(wParam) == BN_CLICKED) OnCommand(LOWORD(wParam));
      return 0;
    case WM_CTLCOLORSTATIC:
      if (reinterpret_cast<HWND>(lParam) == notice_) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        ::SetTextColor(dc, NoticeColour);
        ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
      }
      return ::DefWindowProcW(window, message, wParam, lParam);
    case WM_SIZE:
      if (header_) PlaceControls();
      return 0;
    case WM_GETMINMAXINFO: {
      // Small enough for any screen, large enough that the tiles never run into the footer's tally.
      RECT smallest{0, 0, Scaled(MinClientWidth), Scaled(MinClientHeight)};
      ::AdjustWindowRectEx(&smallest, WS_OVERLAPPEDWINDOW, TRUE, 0);
      auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
      limits->ptMinTrackSize = {smallest.right - smallest.left, smallest.bottom - smallest.top};
      return 0;
    }
    case WM_TIMER:
      if (wParam == TickTimer && station_) station_->Tick();
      return 0;
    case RunTasksMessage:
      RunPostedTasks();
      return 0;
    case WM_CLOSE:
      if (!station_ || station_->FormClose()) ::DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      ::KillTimer(window, TickTimer);
      window_ = nullptr;
      DropPostedTasks();
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

void Win32StationForm::OnCommand(WORD id) {
  if (!station_) return;
  switch (id) {
    case OpenId:
      station_->OpenClick();
      return;
    case StartStopId:
      station_->StartStopClick();
      return;
    case FlashAllId:
      station_->FlashAllClick();
      return;
    case ExitId:
      // As the close box: the behaviour may keep the window until its boards end.
      ::SendMessageW(window_, WM_CLOSE, 0, 0);
      return;
    default:
      return;
  }
}

}  // namespace kv
