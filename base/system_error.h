// The system's own words for an error, shared by the file reader and the ports. Each platform reads
// its own table (system_error_posix.cpp: strerror; system_error_win32.cpp: FormatMessage).
#pragma once

#include <string>

namespace kv {

// The text for an error number (errno on POSIX; GetLastError or Winsock codes on Windows), without the
// line break and full stop Windows ends it with; "system error N" when the system has none.
std::string SystemErrorText(unsigned long error);

// The text with its first letter in lower case.
std::string LowerFirst(std::string text);

// SystemErrorText in the form it takes after "cannot open FILE: " ("permission denied").
std::string SystemReason(unsigned long error);

}  // namespace kv
