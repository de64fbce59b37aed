#include "ui/port_setting.h"

namespace kv {

int ReadPortSetting(const char* fileName, int& destination, MessageSink& messages) {
  uint8_t byte = 0;
  switch (MoveSettingByte(fileName, ByteMove::Read, byte)) {
    case SettingFileStatus::NotOpened:
      messages.ShowMessage(CannotOpenSettingMessage);
      return 1;
    case SettingFileStatus::NotMoved:
      return 1;  // an empty file, silently
    case SettingFileStatus::Moved:
      break;
  }
  destination = byte;
  return 0;
}

int WritePortSetting(const char* fileName, int value, MessageSink& messages) {
  uint8_t byte = static_cast<uint8_t>(value & 0xFF);
  switch (MoveSettingByte(fileName, ByteMove::Write, byte)) {
    case SettingFileStatus::NotOpened:
      messages.ShowMessage(CannotWriteSettingMessage);
      return 1;
    case SettingFileStatus::NotMoved:
      return 1;
    case SettingFileStatus::Moved:
      break;
  }
  return 0;
}

}  // namespace kv
