// The download's window, for a terminal: status texts and the outcome become lines on standard
// output, progress goes to the console's live line, and a turn of the "event loop" is where an
// interrupt is noticed and the port shut, as closing the window would. The line the download works
// on (FlashView::Line) notices it too, before every operation: a turn of the event loop comes only
// before each attempt of an erase or a page, never during the finish's attempts, and never while a
// reply or the quiet line is waited for, so a line that keeps sending would otherwise hold an
// interrupted run for many seconds.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "cli/console.h"
#include "download/download.h"
#include "line/port.h"

namespace kv {

struct FlashViewSettings {
  std::string prefix;       // in front of every line: "" or "[COM2] "
  bool statusLines = true;  // each step's status text as it starts
  bool outcomeLine = true;  // the outcome's message-box text at the end
};

// A port that, once the interrupt is set, shuts itself at the next operation (the 250 ms pause of a
// shutdown, then closed): every wait on it ends within one read, however much the line sends.
class InterruptiblePort : public Port {
 public:
  InterruptiblePort(Port& inner, const std::atomic<bool>& interrupted)
      : inner_(inner), interrupted_(interrupted) {}

  int OpenPort(int n) override { return inner_.OpenPort(n); }
  const OpenError& LastOpenError() const override { return inner_.LastOpenError(); }
  void ClosePort() override { inner_.ClosePort(); }
  void ShutdownPort() override { inner_.ShutdownPort(); }
  bool IsOpen() const override { return inner_.IsOpen(); }
  // These four shut the port first if the interrupt is set, and from then on fail as on a closed port
  // without asking the line anything: another device's interrupt may come in the middle of a command,
  // between its discard and its write.
  bool PortFlush() override;
  bool PortWrite(const uint8_t* bytes, size_t count) override;
  ReadResult PortReadByte() override;
  bool PortDiscardInput() override;
  const PortFault& LastFault() const override { return shutDown_ ? closedFault_ : inner_.LastFault(); }
  uint32_t RoundTripMs() const override { return inner_.RoundTripMs(); }
  bool LearnsRoundTrip() const override { return inner_.LearnsRoundTrip(); }
  void NoteAcknowledgeDelay(uint32_t ms) override { inner_.NoteAcknowledgeDelay(ms); }

  // Shuts the port the first time the interrupt is seen set; true once it has been shut.
  bool ShutIfInterrupted();
  bool ShutDown() const { return shutDown_; }

 private:
  Port& inner_;
  const std::atomic<bool>& interrupted_;
  bool shutDown_ = false;
  PortFault closedFault_ = PortClosedFault();
};

class FlashView : public DownloadView {
 public:
  FlashView(Console& console, size_t slot, FlashViewSettings settings, Port& port,
            const std::atomic<bool>& interrupted)
      : console_(console), slot_(slot), settings_(std::move(settings)), line_(port, interrupted) {}

  // The download ends with the message box and then the final status text: the box's text is the
  // outcome line, and the status text after it is not printed again.
  void ShowMessage(std::string_view text) override;
  void SetStatusText(std::string_view text) override;
  void SetProgressMax(uint16_t maximum) override;
  void SetProgress(uint16_t position, std::string_view label) override;
  // Shuts the port once an interrupt has been asked for; the download then ends by its own rules.
  void ProcessMessages() override { line_.ShutIfInterrupted(); }

  // The port as the download must use it, so that an interrupt also ends a wait on the line.
  Port& Line() { return line_; }
  bool ShutDownByInterrupt() const { return line_.ShutDown(); }
  // Pages the device has taken so far (the progress bar's position).
  uint16_t PagesDone() const { return pagesDone_; }

 private:
  Console& console_;
  size_t slot_;
  FlashViewSettings settings_;
  InterruptiblePort line_;
  uint16_t maximum_ = 0;
  uint16_t pagesDone_ = 0;
  bool messageShown_ = false;
};

// The reader's front end. Its one message, the window's Czech box for a file that cannot be opened,
// is dropped: the flasher says the same in English with the system's reason (ReaderErrorLine).
class ConsoleReaderHost : public ReaderHost {
 public:
  void ShowMessage(std::string_view /*text*/) override {}
  void ProcessMessages() override {}
};

}  // namespace kv
