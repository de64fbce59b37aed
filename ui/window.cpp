#include "ui/window.h"

#include <algorithm>
#include <charconv>

#include "line/system_clock.h"
#include "ports/port_names.h"
#include "ports/system_port.h"
#include "ui/layout.h"

namespace kv {
namespace {

constexpr int VersionDigits = 15;

}  // namespace

std::string VersionText() {
  // to_chars never looks at the locale, so no comma (and no Arabic or Persian digits) can appear.
  char text[32];
  const auto end = std::to_chars(std::begin(text), std::end(text), ProgramVersion, std::chars_format::general,
                                 VersionDigits);
  return std::string(text, end.ptr);
}

std::string WindowCaption() {
  return std::string(CaptionPrefix) + VersionText() + "    " + std::string(MakerNotice);
}

TForm1::TForm1(Form& form, Port& port, Clock& clock, const PortDirectory& ports)
    : form_(form), port_(port), clock_(clock), ports_(ports), progressMax_(layout::ProgressInitialMax) {}

void TForm1::FormCreate() {
  form_.SetCaption(WindowCaption());
  ReadPortSetting(PortSettingFileName, PortNumber, *this);
  PortNumber = SettledPortNumber(PortNumber);
  WritePortSetting(PortSettingFileName, PortNumber, *this);
  form_.SetPanelText(Panel::Port, PortName(PortNumber));
  form_.SetPanelText(Panel::Main, "No file");
  if (PortNumber <= layout::PortItemCount) form_.CheckPortItem(PortNumber);  // 5 has no item
  ShowPortItemTips();
}

void TForm1::Setup1Click() {
  ShowPortItemTips();
}

void TForm1::ShowPortItemTips() {
  const PortListing ports = ports_.List(layout::PortItemCount);  // COM1 to COM4 at least
  for (int n = 1; n <= layout::PortItemCount; ++n) {
    std::string tip = DescribePortEntry(ports.entries[static_cast<size_t>(n - 1)]);
    if (!ports.notice.empty()) tip += "\n" + ports.notice;
    form_.SetPortItemTip(n, tip);
  }
}

void TForm1::ChoosePort(int n) {
  PortNumber = n;
  form_.CheckPortItem(n);
  WritePortSetting(PortSettingFileName, PortNumber, *this);
  form_.SetPanelText(Panel::Port, PortName(PortNumber));
}

void TForm1::LoadFile1Click() {
  if (Busy) {
    ShowMessage(SendBusyMessage);
    return;
  }
  if (loading_) {
    // A second load would rebuild the image under the file still being read.
    ShowMessage(LoadBusyMessage);
    return;
  }
  SetStatusText("Loading...");
  std::string chosen;
  if (!form_.ChooseFile(HexFileChoices, chosen)) {
    SetStatusText("");
    return;
  }
  LoadConfirmedFile(chosen);
}

void TForm1::LoadStartFile(std::string_view nativePath) {
  LoadConfirmedFile(nativePath);
}

void TForm1::LoadConfirmedFile(std::string_view nativePath) {
  // The file is opened by the path as chosen (names may be case-sensitive); the upper-cased form is only
  // what the user is shown and what the identification block carries.
  const std::string path(nativePath);
  const std::string upperPath = UpperCasePath(path);
  LoadedFileName = LoadedFileNameFor(upperPath);
  SetStatusText("Loading file...please wait");

  loading_ = true;
  HexReadDetail detail;
  const HexReadResult result = ReadHexFile(path.c_str(), Image, LoadedFileTime, *this, &detail);
  loading_ = false;
  LastLoad = result;

  std::string status(ReadResultText(result));
  if (result == ReadComplete) status += form_.DisplayPath(upperPath);
  SetStatusText(status);
  lastLoadTip_ = result == ReadComplete ? std::string() : ReadDetailText(detail);
  SetPanelTip(lastLoadTip_);
  CloseIfRequested();
}

void TForm1::Send1Click() {
  if (loading_) {
    // A download now would send a half-built image.
    ShowMessage(LoadBusyMessage);
    return;
  }
  if (!Busy && !MaySendAfter(LastLoad)) {
    // What a failed read left in the image is part of a file: it must not reach the device.
    const std::string_view text = ReadResultText(*LastLoad);
    ShowMessage(text);
    SetStatusText(text);
    SetPanelTip(lastLoadTip_);
    return;
  }
  FailureCause cause;
  DownloadContext context{Image, LoadedFileName, LoadedFileTime, PortNumber, Busy,
                          port_, clock_,         *this,          &cause};
  if (RunDownload(context) != DownloadOutcome::Busy) {
    // The box and the panel keep their fixed texts; the tip says what happened and what to do.
    SetPanelTip(cause.Line());
  }
  CloseIfRequested();
}

bool TForm1::FormClose() {
  port_.ShutdownPort();
  if (Busy || loading_) {
    // The running command still owns the stack below us: it ends first (a download's next command
    // fails on the shut port, a load runs to its end), then the window closes.
    closeRequested_ = true;
    return false;
  }
  return true;
}

void TForm1::CloseIfRequested() {
  if (closeRequested_ && !Busy && !loading_) form_.Close();
}

void TForm1::SetStatusText(std::string_view text) {
  if (tipShown_) {
    // The tip explained the text being replaced.
    form_.SetPanelTip("");
    tipShown_ = false;
  }
  form_.SetPanelText(Panel::Main, text);
}

void TForm1::SetPanelTip(const std::string& tip) {
  if (tip.empty()) return;
  form_.SetPanelTip(tip);
  tipShown_ = true;
}

void TForm1::ShowMessage(std::string_view text) {
  form_.ShowMessage(text);
}

void TForm1::SetProgressMax(uint16_t maximum) {
  // A new maximum below the old position clamps the bar rather than emptying it: the bar keeps showing
  // the last download until this one programs its first page.
  progressMax_ = maximum;
  progressPosition_ = std::min(progressPosition_, maximum);
  form_.SetProgressBar(progressMax_, progressPosition_);
}

void TForm1::SetProgress(uint16_t position, std::string_view label) {
  progressPosition_ = std::min(position, progressMax_);
  form_.SetProgressBar(progressMax_, progressPosition_);
  form_.SetLabelText(label);
}

void TForm1::ProcessMessages() {
  // Once the window is closing, nothing more is handled: the running command ends at full speed.
  if (closeRequested_) return;
  form_.ProcessMessages();
}

WindowLink MakeWindowLink() {
  WindowLink link;
  link.clock = std::make_unique<SystemClock>();
  link.ports = std::make_unique<PortDirectory>(SystemPortDirectory());
  link.port = std::make_unique<SystemPort>(*link.clock, *link.ports);  // COMn may name a network line too
  return link;
}

}  // namespace kv
