// What a device's run shows, for a terminal: status texts and the outcome become lines on standard
// output, progress goes to the console's live line, and the failure's cause and the trace go to
// standard error.
#pragma once

#include <cstddef>
#include <string>

#include "base/host.h"
#include "cli/console.h"
#include "station/run_view.h"

namespace kv {

struct FlashViewSettings {
  std::string prefix;       // in front of every line: "" or "[COM2] "
  bool statusLines = true;  // each step's status text as it starts
  bool outcomeLine = true;  // the outcome's message-box text at the end
};

class FlashView : public DeviceView {
 public:
  // `slot`: the device's progress on the console (Console::AddSlot), or NoProgressSlot.
  FlashView(Console& console, size_t slot, FlashViewSettings settings)
      : console_(console), slot_(slot), settings_(std::move(settings)) {}

  void Started() override { console_.DownloadStarted(slot_); }
  void Step(std::string_view status) override;
  void ProgramStarted(uint16_t pages) override { console_.ProgramPhaseStarted(slot_, pages); }
  void Progress(uint16_t done, uint16_t pages) override { console_.Progress(slot_, done, pages); }
  void Outcome(std::string_view text) override;
  void Problem(std::string_view line) override { console_.Err(settings_.prefix, line); }
  void Trace(std::string_view line) override { console_.Err(settings_.prefix, line); }

 private:
  Console& console_;
  size_t slot_;
  FlashViewSettings settings_;
};

// The reader's front end. Its one message, the window's Czech box for a file that cannot be opened,
// is dropped: the flasher says the same in English with the system's reason (ReaderErrorLine).
class ConsoleReaderHost : public ReaderHost {
 public:
  void ShowMessage(std::string_view /*text*/) override {}
  void ProcessMessages() override {}
};

}  // namespace kv
