// What the core needs from whichever front end drives it (the window, the command-line flasher, a
// test): a turn of the event loop, and a modal message with one text.
#pragma once

#include <string_view>

namespace kv {

class EventPump {
 public:
  virtual ~EventPump() = default;
  // Handle every pending window event, then return. Commands may run from inside it.
  virtual void ProcessMessages() = 0;
};

class ReaderHost : public EventPump {
 public:
  // A modal box with one text and an OK button; returns once the user has dismissed it.
  virtual void ShowMessage(std::string_view text) = 0;
};

}  // namespace kv
