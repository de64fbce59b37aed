// What one device's run shows, and how a stop reaches it. The run's download talks to a DownloadView
// (RunView here); the run hands on what it shows to a DeviceView, which the front end gives: console
// lines for the command line, a tile for the station window. The run itself exists once.
//
// A stop (a Ctrl-C, the station's second Stop) shuts the run's port as closing the window would: at
// the next turn of the download's event loop, and at the next operation on the line (RunView::Line),
// since a turn of the event loop comes only before each attempt of an erase or a page, never during
// the finish's attempts, and never while a reply or the quiet line is waited for: a line that keeps
// sending would otherwise hold a stopped run for many seconds.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "download/download.h"
#include "line/port.h"

namespace kv {

// What a device's run shows as it goes; called on the run's thread.
class DeviceView {
 public:
  virtual ~DeviceView() = default;
  // The download starts (its time counts from here).
  virtual void Started() = 0;
  // A step starts: its status text ("Erasing sector #1..."); none after the outcome.
  virtual void Step(std::string_view status) = 0;
  // The program phase starts with this many pages.
  virtual void ProgramStarted(uint16_t pages) = 0;
  // `done` of `pages` pages programmed.
  virtual void Progress(uint16_t done, uint16_t pages) = 0;
  // The outcome's text, where the window shows its message box ("File successfully loaded").
  virtual void Outcome(std::string_view text) = 0;
  // What went wrong, on one line: why the download failed, a log row that could not be written.
  virtual void Problem(std::string_view line) = 0;
  // One packet or reply of the line (a traced run only): "  1523 ms > A2 10 00 4E".
  virtual void Trace(std::string_view line) = 0;
};

// A port that, once the stop is set, shuts itself at the next operation (the 250 ms pause of a
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
  // These four shut the port first if the stop is set, and from then on fail as on a closed port
  // without asking the line anything: another device's stop may come in the middle of a command,
  // between its discard and its write.
  bool PortFlush() override;
  bool PortWrite(const uint8_t* bytes, size_t count) override;
  ReadResult PortReadByte() override;
  bool PortDiscardInput() override;
  const PortFault& LastFault() const override { return shutDown_ ? closedFault_ : inner_.LastFault(); }
  uint32_t RoundTripMs() const override { return inner_.RoundTripMs(); }
  bool LearnsRoundTrip() const override { return inner_.LearnsRoundTrip(); }
  void NoteAcknowledgeDelay(uint32_t ms) override { inner_.NoteAcknowledgeDelay(ms); }

  // Shuts the port the first time the stop is seen set; true once it has been shut.
  bool ShutIfInterrupted();
  bool ShutDown() const { return shutDown_; }

 private:
  Port& inner_;
  const std::atomic<bool>& interrupted_;
  bool shutDown_ = false;
  PortFault closedFault_ = PortClosedFault();
};

// The download's view of one run: hands on to `shows`, counts the pages, and shuts the line at a stop.
// The download ends with the message box and then the final status text: the box's text is the
// outcome, and the status text after it is not shown again.
class RunView : public DownloadView {
 public:
  RunView(DeviceView& shows, Port& port, const std::atomic<bool>& stop) : shows_(shows), line_(port, stop) {}

  void ShowMessage(std::string_view text) override;
  void SetStatusText(std::string_view text) override;
  void SetProgressMax(uint16_t maximum) override;
  void SetProgress(uint16_t position, std::string_view label) override;
  // Shuts the port once a stop has been asked for; the download then ends by its own rules.
  void ProcessMessages() override { line_.ShutIfInterrupted(); }

  // The port as the download must use it, so that a stop also ends a wait on the line.
  Port& Line() { return line_; }
  bool ShutDownByInterrupt() const { return line_.ShutDown(); }
  // Pages the device has taken so far (the progress bar's position).
  uint16_t PagesDone() const { return pagesDone_; }

 private:
  DeviceView& shows_;
  InterruptiblePort line_;
  uint16_t maximum_ = 0;
  uint16_t pagesDone_ = 0;
  bool messageShown_ = false;
};

}  // namespace kv
