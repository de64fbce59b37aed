// A download view for tests: keeps one ordered log of everything the download shows or asks for, so a
// test can compare what a user would have seen, step by step. onPump runs inside ProcessMessages, where
// the window would run a re-entered command or its close handler.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "download/download.h"

namespace kv::test {

class ViewRecorder : public DownloadView {
 public:
  // Log lines: "status: TEXT", "message: TEXT", "max: N", "progress: P LABEL", "pump".
  void SetStatusText(std::string_view text) override { Record("status: " + std::string(text)); }
  void ShowMessage(std::string_view text) override { Record("message: " + std::string(text)); }
  void SetProgressMax(uint16_t maximum) override { Record("max: " + std::to_string(maximum)); }
  void SetProgress(uint16_t position, std::string_view label) override {
    Record("progress: " + std::to_string(position) + " " + std::string(label));
  }
  void ProcessMessages() override {
    Record("pump");
    if (onPump) onPump();
  }

  // The log lines that start with prefix ("status: "), with the prefix removed, in order.
  std::vector<std::string> Lines(std::string_view prefix) const {
    std::vector<std::string> found;
    for (const std::string& line : log) {
      if (line.starts_with(prefix)) found.push_back(line.substr(prefix.size()));
    }
    return found;
  }
  std::vector<std::string> Statuses() const { return Lines("status: "); }
  std::vector<std::string> Messages() const { return Lines("message: "); }
  std::vector<std::string> Progress() const { return Lines("progress: "); }
  // Everything except the pumps, which are many and rarely what a test is about.
  std::vector<std::string> Shown() const {
    std::vector<std::string> found;
    for (const std::string& line : log) {
      if (line != "pump") found.push_back(line);
    }
    return found;
  }

  std::vector<std::string> log;
  std::function<void()> onPump;
  // Runs after each line is logged, e.g. to note whether the port is still open when the box shows.
  std::function<void(const std::string&)> onLog;

 private:
  void Record(std::string line) {
    log.push_back(std::move(line));
    if (onLog) onLog(log.back());
  }
};

}  // namespace kv::test
