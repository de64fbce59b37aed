#include "link/win32_port.h"

#include <windows.h>

#include <cstdlib>

namespace kv {

namespace {

constexpr char LineMode[] = "115200,e,8,1";

HANDLE AsHandle(void* handle) {
  return static_cast<HANDLE>(handle);
}

}  // namespace

std::string PortDeviceName(int n) {
  // The same override as on POSIX, so scripts can point COMn at any device on either platform.
  const std::string variable = "LD6193_COM" + std::to_string(n);
  if (const char* path = std::getenv(variable.c_str()); path != nullptr && *path != '\0') return path;
  return "\\\\.\\COM" + std::to_string(n);
}

Win32Port::~Win32Port() {
  CloseHandleIfOpen();
}

int Win32Port::OpenPort(int n) {
  return OpenDevice(PortDeviceName(n));
}

int Win32Port::OpenDevice(const std::string& path) {
  CloseHandleIfOpen();  // never leak a port the caller forgot to close

  // Unshared, existing device only, plain synchronous input and output.
  const HANDLE handle =
      ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return 1;
  // A serial port is a character device. A path that names a disk file (LD6193_COM<n> or --device
  // set wrong) is refused rather than written with packets that no device will ever answer.
  if (::GetFileType(handle) != FILE_TYPE_CHAR) {
    ::CloseHandle(handle);
    return 1;
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
  return 0;
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

bool Win32Port::PortFlush() {
  return handle_ != nullptr && ::FlushFileBuffers(AsHandle(handle_)) != 0;
}

bool Win32Port::PortWrite(const uint8_t* bytes, size_t count) {
  if (handle_ == nullptr) return false;
  // With no write time-out the call returns only once the port has taken every byte (packets are
  // at most 261 bytes, well inside one call's count). A packet cut short is not sent: a driver that
  // reports success for part of it has failed all the same.
  DWORD written = 0;
  return ::WriteFile(AsHandle(handle_), bytes, static_cast<DWORD>(count), &written, nullptr) != 0 &&
         written == count;
}

ReadResult Win32Port::PortReadByte() {
  if (handle_ == nullptr) return {ReadStatus::Failure, 0};
  uint8_t byte = 0;
  DWORD read = 0;
  if (!::ReadFile(AsHandle(handle_), &byte, 1, &read, nullptr)) return {ReadStatus::Failure, 0};
  if (read == 0) return {ReadStatus::NoByte, 0};
  return {ReadStatus::Byte, byte};
}

}  // namespace kv
