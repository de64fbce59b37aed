// The HEX file front end on Windows: the file is opened with no sharing, so nobody can write it (or
// even open it) while it is loaded, and a file that someone else holds open is refused.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <array>
#include <string>

#include "image/hex_reader.h"

namespace kv {
namespace {

constexpr DWORD ChunkSize = 64 * 1024;

// Owns one handle and closes it exactly once.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() {
    if (valid()) CloseHandle(handle_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

// The file in 64 KiB reads; a read error ends the input just as the end of the file does.
class FileByteSource : public ByteSource {
 public:
  explicit FileByteSource(HANDLE handle) : handle_(handle) {}
  std::span<const uint8_t> NextChunk() override {
    DWORD read = 0;
    if (!ReadFile(handle_, buffer_.data(), ChunkSize, &read, nullptr) || read == 0) return {};
    return {buffer_.data(), read};
  }

 private:
  HANDLE handle_;
  std::array<uint8_t, ChunkSize> buffer_;
};

// The last-write time in local time; FileTimeToLocalFileTime applies the time-zone bias in effect now,
// daylight saving included, as wanted. Leaves `time` unchanged when a step fails.
void CaptureLastWriteTime(HANDLE handle, SystemTime& time) {
  FILETIME written;
  FILETIME local;
  SYSTEMTIME fields;
  if (!GetFileTime(handle, nullptr, nullptr, &written) || !FileTimeToLocalFileTime(&written, &local) ||
      !FileTimeToSystemTime(&local, &fields)) {
    return;
  }
  time.year = fields.wYear;
  time.month = fields.wMonth;
  time.dayOfWeek = fields.wDayOfWeek;
  time.day = fields.wDay;
  time.hour = fields.wHour;
  time.minute = fields.wMinute;
  time.second = fields.wSecond;
  time.milliseconds = fields.wMilliseconds;
}

// The system's reason in the form it takes after "cannot open FILE: ".
std::string ReasonOf(DWORD error) {
  if (error == ERROR_SHARING_VIOLATION) return "another program has it open";
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      error, 0, text, sizeof text, nullptr);
  std::string reason(text, length);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.')) {
    reason.pop_back();
  }
  if (reason.empty()) return "system error " + std::to_string(error);
  if (reason[0] >= 'A' && reason[0] <= 'Z') reason[0] = static_cast<char>(reason[0] - 'A' + 'a');
  return reason;
}

}  // namespace

HexReadResult ReadHexFile(const char* path, MemoryImage& image, SystemTime& loadedFileTime, ReaderHost& host,
                          HexReadDetail* detail) {
  image.ResetImage();
  const FileHandle file(path == nullptr
                            ? INVALID_HANDLE_VALUE
                            : CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file.valid()) {
    if (detail != nullptr) *detail = {0, path == nullptr ? "no file named" : ReasonOf(GetLastError())};
    host.ShowMessage(CannotOpenFileMessage);
    return CannotOpen;
  }
  CaptureLastWriteTime(file.get(), loadedFileTime);
  FileByteSource source(file.get());
  return DecodeHex(source, image, host, detail);
}

}  // namespace kv
