#include "line/win32_port.h"

#include <windows.h>

#include <string>

#include "base/system_error.h"

namespace kv {

namespace {

constexpr char LineMode[] = "115200,e,8,1";

HANDLE AsHandle(void* handle) {
  return static_cast<HANDLE>(handle);
}

}  // namespace

Win32Port::~Win32Port() {
  CloseHandleIfOpen();
}

OpenError Win32Port::OpenDevice(const std::string& path) {
  CloseHandleIfOpen();  // never leak a port the caller forgot to close
  openError_ = Open(path);
  return openError_;
}

namespace {

struct SystemErrorCause {
  unsigned long error;
  OpenFailure cause;
};

// Windows answers "access denied" for a COM port that another program holds; a USB adapter pulled
// out while it was being opened answers with a device failure.
constexpr SystemErrorCause SystemErrorCauses[] = {
    {ERROR_FILE_NOT_FOUND, OpenFailure::NotFound}, {ERROR_PATH_NOT_FOUND, OpenFailure::NotFound},
    {ERROR_INVALID_NAME, OpenFailure::NotFound},   {ERROR_GEN_FAILURE, OpenFailure::NotFound},
    {ERROR_ACCESS_DENIED, OpenFailure::Busy},      {ERROR_SHARING_VIOLATION, OpenFailure::Busy},
    {ERROR_NOT_SUPPORTED, OpenFailure::NotSerial},
};

// Why `path` did not open, from the system's `error`.
OpenError RefusedOpen(const std::string& path, unsigned long error) {
  OpenFailure cause = OpenFailureOfSystemError(error);
  // A folder is refused as "access denied" too, which would read as a busy port.
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    cause = OpenFailure::NotSerial;
  }
  // Windows cannot tell who holds a busy port; its "access denied" would only mislead there.
  return {cause, path, cause == OpenFailure::Busy ? std::string() : SystemErrorText(error)};
}

}  // namespace

OpenFailure OpenFailureOfSystemError(unsigned long error) {
  for (const SystemErrorCause& row : SystemErrorCauses) {
    if (row.error == error) return row.cause;
  }
  return OpenFailure::Other;
}

OpenError Win32Port::Open(const std::string& path) {
  // Unshared, existing device only, plain synchronous input and output.
  const HANDLE handle =
      ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return RefusedOpen(path, ::GetLastError());
  // A serial port is a character device. A path that names a disk file (LD6193_COM<n> or --device
  // set wrong) is refused rather than written with packets that no device will ever answer.
  if (::GetFileType(handle) != FILE_TYPE_CHAR) {
    ::CloseHandle(handle);
    return {OpenFailure::NotSerial, path, "not a character device"};
  }
  handle_ = handle;

  // Once the device is open the port counts as open: a configuration the driver refuses shows up
  // later as failed commands, so the results of these calls are not examined.
  COMMTIMEOUTS found{};
  if (::GetCommTimeouts(handle, &found)) {
    saved_ = {static_cast<uint32_t>(found.ReadIntervalTimeout),
              static_cast<uint32_t>(found.ReadTotalTimeoutMultiplier),
              static_cast<uint32_t>(found.ReadTotalTimeoutConstant),
              static_cast<uint32_t>(found.WriteTotalTimeoutMultiplier),
              static_cast<uint32_t>(found.WriteTotalTimeoutConstant)};
  }
  // A one-byte read returns as soon as a byte is there, else after 100 ms; writes have no limit.
  COMMTIMEOUTS working{};
  working.ReadIntervalTimeout = 0;
  working.ReadTotalTimeoutMultiplier = 0;
  working.ReadTotalTimeoutConstant = ReadTimeoutMs;
  working.WriteTotalTimeoutMultiplier = 0;
  working.WriteTotalTimeoutConstant = 0;
  ::SetCommTimeouts(handle, &working);

  // Settings the mode string does not name keep the values the port had.
  static_assert(sizeof(DCB) == 28, "the line settings record is 28 bytes long");
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  ::GetCommState(handle, &dcb);
  ::BuildCommDCBA(LineMode, &dcb);
  ::SetCommState(handle, &dcb);
  // Bytes left on the line by an earlier run are no answer to anything this run sends.
  (void)DiscardInput();
  fault_ = {};
  return {OpenFailure::None, path, {}};
}

void Win32Port::CloseHandleIfOpen() {
  if (handle_ == nullptr) return;
  ::CloseHandle(AsHandle(handle_));  // a failed close still counts as closed
  handle_ = nullptr;
}

void Win32Port::ClosePort() {
  CloseHandleIfOpen();
}

void Win32Port::ShutdownPort() {
  if (handle_ == nullptr) return;
  clock_.Sleep(ShutdownPauseMs);
  COMMTIMEOUTS saved{};
  saved.ReadIntervalTimeout = saved_.readInterval;
  saved.ReadTotalTimeoutMultiplier = saved_.readTotalMultiplier;
  saved.ReadTotalTimeoutConstant = saved_.readTotalConstant;
  saved.WriteTotalTimeoutMultiplier = saved_.writeTotalMultiplier;
  saved.WriteTotalTimeoutConstant = saved_.writeTotalConstant;
  ::SetCommTimeouts(AsHandle(handle_), &saved);
  CloseHandleIfOpen();
}

namespace {

// What a port whose adapter was pulled out (or whose far end hung up) answers from then on.
bool LineGoneError(DWORD error) {
  return error == ERROR_BAD_COMMAND || error == ERROR_ACCESS_DENIED || error == ERROR_DEVICE_REMOVED ||
         error == ERROR_NOT_READY || error == ERROR_GEN_FAILURE || error == ERROR_DEVICE_NOT_CONNECTED ||
         error == ERROR_FILE_NOT_FOUND || error == ERROR_INVALID_HANDLE;
}

// A failed `operation` ("read"), in the system's words for its last error.
PortFault SystemFault(const char* operation) {
  const DWORD error = ::GetLastError();
  return {std::string(operation) + ": " + SystemReason(error), LineGoneError(error)};
}

}  // namespace

LineResult Win32Port::Flush() {
  if (handle_ == nullptr) return PortClosedFault();
  if (!::FlushFileBuffers(AsHandle(handle_))) return SystemFault("flush");
  return {};
}

LineResult Win32Port::Write(const uint8_t* bytes, size_t count) {
  if (handle_ == nullptr) return PortClosedFault();
  // With no write time-out the call returns only once the port has taken every byte (packets are
  // at most 261 bytes, well inside one call's count). A packet cut short is not sent: a driver that
  // reports success for part of it has failed all the same.
  DWORD written = 0;
  if (!::WriteFile(AsHandle(handle_), bytes, static_cast<DWORD>(count), &written, nullptr))
    return SystemFault("write");
  if (written == count) return {};
  return PortFault{
      "write: the port took " + std::to_string(written) + " of " + std::to_string(count) + " bytes", false};
}

LineResult Win32Port::DiscardInput() {
  if (handle_ == nullptr) return PortClosedFault();
  if (!::PurgeComm(AsHandle(handle_), PURGE_RXCLEAR)) return SystemFault("discard");
  return {};
}

ByteRead Win32Port::ReadByte() {
  if (handle_ == nullptr) return PortClosedFault();
  uint8_t byte = 0;
  DWORD read = 0;
  if (!::ReadFile(AsHandle(handle_), &byte, 1, &read, nullptr)) return SystemFault("read");
  if (read == 0) return ReadResult{ReadStatus::NoByte, 0};
  return ReadResult{ReadStatus::Byte, byte};
}

}  // namespace kv
