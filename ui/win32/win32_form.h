// The window on Windows, built from the platform's own controls: a menu bar ("Load File", "Send", and
// "Setup" with COM1 to COM4 as one radio group), a smooth progress bar, the percentage label, and a
// status bar of two panels, laid out as ui/layout.h says (pixels at 96 dpi, scaled to the system's
// dpi). It is the Form of the toolkit-free window behaviour: it shows what TForm1 tells it and hands
// the menu commands and the close box to TForm1's handlers. Texts arrive in UTF-8; native paths are
// in the ANSI code page, which the manifest makes UTF-8 wherever Windows allows.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "ui/form.h"
#include "ui/layout.h"
#include "ui/win32/win32_common.h"

namespace kv {

class TForm1;

class Win32Form : public Form {
 public:
  // Builds the window and its controls, hidden; Created() tells whether the platform made it.
  explicit Win32Form(HINSTANCE instance);
  ~Win32Form() override;
  Win32Form(const Win32Form&) = delete;
  Win32Form& operator=(const Win32Form&) = delete;

  bool Created() const { return window_ != nullptr; }
  // From now on the menu commands and the close box go to form1's handlers.
  void Attach(TForm1& form1) { form1_ = &form1; }
  void Show(int showCommand);
  // Loads the file once the message loop runs, as if it had been confirmed in the "Load File" dialog
  // (Explorer's "Open with" starts the program this way). nativePath is in the ANSI code page.
  void LoadAtStart(std::string nativePath);

  // Form.
  void SetCaption(std::string_view text) override;
  void SetPanelText(Panel panel, std::string_view text) override;
  void SetPanelTip(std::string_view text) override;
  void CheckPortItem(int n) override;
  void SetPortItemTip(int n, std::string_view text) override;
  void SetProgressBar(uint16_t maximum, uint16_t position) override;
  void SetLabelText(std::string_view text) override;
  void ShowMessage(std::string_view text) override;
  bool ChooseFile(std::span<const FileChoice> choices, std::string& path) override;
  std::string DisplayPath(std::string_view nativePath) override;
  void ProcessMessages() override;
  void Close() override;

 private:
  template <class FormClass>
  friend LRESULT CALLBACK FormWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void OnCommand(WORD id);
  void OnMenuSelect(WORD id, WORD flags);
  void BuildMenu();
  void BuildControls();
  void PlaceStatusBar();
  int Scaled(int pixels) const;

  HINSTANCE instance_;
  TForm1* form1_ = nullptr;
  int dpi_;
  HWND window_ = nullptr;
  HMENU menuBar_ = nullptr;
  HMENU setupMenu_ = nullptr;
  HWND progressBar_ = nullptr;
  HWND label_ = nullptr;
  HWND statusBar_ = nullptr;
  HWND panelTip_ = nullptr;  // the tooltip over status panel 0
  HFONT windowFont_ = nullptr;
  HFONT labelFont_ = nullptr;
  std::string startFile_;
  std::wstring panelTipText_;
  std::array<std::wstring, layout::PortItemCount> portItemTips_;
};

// The program's message loop: runs until the window has gone and returns the quit message's code.
int RunMessageLoop();

}  // namespace kv
