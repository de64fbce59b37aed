// The HEX file front end on Windows: the file is opened with no sharing, so nobody can write it (or
// even open it) while it is loaded, and a file that someone else holds open is refused.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <array>
#include <string>

#include "base/system_error.h"
#include "image/hex_file.h"

namespace kv {
namespace {

// The last-write time in local time; FileTimeToLocalFileTime applies the time-zone bias in effect now,
// daylight saving included, as wanted. Leaves `time` unchanged when a step fails.
void CaptureLastWriteTimeOf(HANDLE handle, SystemTime& time) {
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
  return SystemReason(error);
}

HANDLE AsHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// Opens with no sharing: the open fails while another holder has the file open, and nobody else can
// open it while the load runs.
HANDLE OpenForReading(const char* path, std::string& reason) {
  const HANDLE handle = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) reason = ReasonOf(GetLastError());
  return handle;
}

}  // namespace

HexFile::HexFile(const char* path, std::string& reason)
    : handle_(reinterpret_cast<std::intptr_t>(OpenForReading(path, reason))) {}

HexFile::~HexFile() {
  if (IsOpen()) CloseHandle(AsHandle(handle_));
}

bool HexFile::IsOpen() const {
  return AsHandle(handle_) != INVALID_HANDLE_VALUE;
}

void HexFile::CaptureLastWriteTime(SystemTime& time) const {
  CaptureLastWriteTimeOf(AsHandle(handle_), time);
}

bool HexFile::Restart() {
  const HANDLE handle = AsHandle(handle_);
  return readError_.empty() && GetFileType(handle) == FILE_TYPE_DISK &&
         SetFilePointerEx(handle, LARGE_INTEGER{}, nullptr, FILE_BEGIN);
}

std::span<const uint8_t> HexFile::NextChunk() {
  DWORD read = 0;
  if (!readError_.empty()) return {};
  if (!ReadFile(AsHandle(handle_), buffer_.data(), ChunkSize, &read, nullptr)) {
    // A pipe whose writer has closed it has simply ended.
    if (const DWORD error = GetLastError(); error != ERROR_BROKEN_PIPE) readError_ = SystemReason(error);
    return {};
  }
  return {buffer_.data(), read};
}

}  // namespace kv
