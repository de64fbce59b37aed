// The setting file through the Windows file calls: share mode 0 keeps every other opener out while the
// byte moves, and OPEN_ALWAYS creates a missing file without ever truncating one.
#include <windows.h>

#include "ui/port_setting.h"

namespace kv {

SettingFileStatus MoveSettingByte(const char* fileName, ByteMove move, uint8_t& byte) {
  const bool write = move == ByteMove::Write;
  const DWORD access = write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  HANDLE file = CreateFileA(fileName, access, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return SettingFileStatus::NotOpened;
  DWORD count = 0;
  const BOOL ok =
      write ? WriteFile(file, &byte, 1, &count, nullptr) : ReadFile(file, &byte, 1, &count, nullptr);
  CloseHandle(file);
  return ok && count == 1 ? SettingFileStatus::Moved : SettingFileStatus::NotMoved;
}

}  // namespace kv
