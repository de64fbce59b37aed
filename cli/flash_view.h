// The download's window, for a terminal: status texts and the outcome become lines on standard
// output, progress goes to the console's live line, and a turn of the "event loop" is where an
// interrupt is noticed and the port shut, as closing the window would.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "cli/console.h"
#include "download/download.h"
#include "link/port.h"

namespace kv {

struct FlashViewSettings {
  std::string prefix;       // in front of every line: "" or "[COM2] "
  bool statusLines = true;  // each step's status text as it starts
  bool outcomeLine = true;  // the outcome's message-box text at the end
};

class FlashView : public DownloadView {
 public:
  FlashView(Console& console, size_t slot, FlashViewSettings settings, Port& port,
            const std::atomic<bool>& interrupted)
      : console_(console),
        slot_(slot),
        settings_(std::move(settings)),
        port_(port),
        interrupted_(interrupted) {}

  // The download ends with the message box and then the final status text: the box's text is the
  // outcome line, and the status text after it is not printed again.
  void ShowMessage(std::string_view text) override;
  void SetStatusText(std::string_view text) override;
  void SetProgressMax(uint16_t maximum) override;
  void SetProgress(uint16_t position, std::string_view label) override;
  // Shuts the port once an interrupt has been asked for; the download then ends by its own rules.
  void ProcessMessages() override;

  bool ShutDownByInterrupt() const { return shutDown_; }
  // Pages the device has taken so far (the progress bar's position).
  uint16_t PagesDone() const { return pagesDone_; }

 private:
  Console& console_;
  size_t slot_;
  FlashViewSettings settings_;
  Port& port_;
  const std::atomic<bool>& interrupted_;
  uint16_t maximum_ = 0;
  uint16_t pagesDone_ = 0;
  bool messageShown_ = false;
  bool shutDown_ = false;
};

// The reader's front end. Its one message, the window's Czech box for a file that cannot be opened,
// is dropped: the flasher says the same in English with the system's reason (ReaderErrorLine).
class ConsoleReaderHost : public ReaderHost {
 public:
  void ShowMessage(std::string_view /*text*/) override {}
  void ProcessMessages() override {}
};

}  // namespace kv
