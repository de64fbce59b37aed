// The port setting file "ld6193.cfg": one byte at offset 0, the number n of the serial port COMn, kept in
// the working directory between runs. Each call opens the file, moves one byte and closes it; while it
// is open no other holder may have it (an exclusive lock, refused at once when someone else holds one).
// Failures to open are shown as a message; the caller never needs to look at the result.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/file_messages.h"
#include "ports/port_choice.h"  // the file's name and how a stored value is settled

namespace kv {

// The messages of the reader's kind: "cannot open file " and "cannot write to file ".
inline constexpr std::string_view CannotOpenSettingMessage = CannotOpenFileMessage;
inline constexpr std::string_view CannotWriteSettingMessage = CannotWriteFileMessage;

// Where the file's two messages go: a modal box with one text and an OK button.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void ShowMessage(std::string_view text) = 0;
};

// Opens the file for reading, creating it empty when it is missing. Returns 0 with the first byte,
// zero-extended, in destination; 1 with destination untouched when the file is empty (silently) or
// cannot be opened (after CannotOpenSettingMessage).
int ReadPortSetting(const char* fileName, int& destination, MessageSink& messages);

// Opens the file for reading and writing, creating it when missing and never truncating it, and
// writes the low 8 bits of value at offset 0; later bytes stay as they are. Returns 0 when the byte
// was written; 1 when the open failed (after CannotWriteSettingMessage) or the write did not take
// (silently).
int WritePortSetting(const char* fileName, int value, MessageSink& messages);

// The platform part (port_setting_posix.cpp, port_setting_win32.cpp), with no messages: opens the file
// for this one call, creating it when missing and never truncating it, held against every other opener
// (refused at once, never waited for, when another holds it), and moves one byte at offset 0.
enum class ByteMove {
  Read,   // opened for reading only, so a read-only file still reads
  Write,  // opened for reading and writing
};
enum class SettingFileStatus {
  Moved,      // the byte was read or written
  NotMoved,   // opened, but the file is empty (read) or the write did not take
  NotOpened,  // could not be created, opened or held
};
SettingFileStatus MoveSettingByte(const char* fileName, ByteMove move, uint8_t& byte);

}  // namespace kv
