// A reader host for tests: records the messages shown and counts the event-loop turns.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/host.h"

namespace kv::test {

class RecordingReaderHost : public ReaderHost {
 public:
  void ShowMessage(std::string_view text) override { messages.emplace_back(text); }
  void ProcessMessages() override {
    ++pumps;
    if (onPump) onPump();
  }

  std::vector<std::string> messages;
  int pumps = 0;
  std::function<void()> onPump;  // runs inside ProcessMessages, as a re-entered command would
};

}  // namespace kv::test
