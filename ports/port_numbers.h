// The numbers file: which COM number each serial adapter keeps on Linux, as a text that a person can
// read and edit, and the rule that numbers the adapters from it.
//
//   # COM numbers of serial adapters for ld6193 and ld6193-flash. ...
//   COM1 usb-FTDI_FT232R_USB_UART_A9-if00-port0
//   COM2 ttyS0
//
// One line per adapter: "COM" and the number (1 to 255), blanks, the adapter's name (its
// /dev/serial/by-id name, or the kernel name of a line that has none, such as ttyS0). Blank lines and
// lines that start with '#' are kept as they are and mean nothing. Each number and each name appears
// at most once; anything else makes the whole file unusable (never half-read).
//
// New adapters are appended, in the file's own line ending, and a forgotten number's line is removed;
// every other line stays as the person wrote it. Reading, locking and replacing the file is the platform's
// (port_names_posix.cpp).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ports/port_names.h"

namespace kv {

// The file's folder under the configuration home, and its name there.
inline constexpr std::string_view NumbersFolder = "ld6193";
inline constexpr std::string_view NumbersFileName = "com-numbers";

// What a file says.
struct ParsedNumbers {
  std::vector<KeptNumber> kept;  // in the file's order
  std::string problem;  // the first fault ("line 3: COM0 is no port number (1 to 255)"); empty if none
};
ParsedNumbers ParseNumbers(std::string_view text);

// The text of a new file: the header that explains the format, then the lines of `added`.
// Otherwise `text` with the lines of `added` appended, ending as its first line ends (CRLF or LF).
std::string WithNumbers(std::string_view text, const std::vector<KeptNumber>& added);

// `text` without the line that gives number n, every other byte as it was (the file must have parsed).
std::string WithoutNumber(std::string_view text, int n);

// Gives each present port the number kept for it, and each port not yet known the lowest free number,
// in the order found. Returns the numbers newly given, to be written down: not those of names the file
// cannot hold as one word (a blank, a line break, a '/'), which hold for this look only. A port finds no
// number only when all 255 are taken.
std::vector<KeptNumber> NumberPorts(const std::vector<KeptNumber>& kept, std::vector<PresentPort>& present);

// The kept numbers whose adapter is not present.
std::vector<KeptNumber> AbsentPorts(const std::vector<KeptNumber>& kept,
                                    const std::vector<PresentPort>& present);

// Numbers in the order found (1, 2, 3...): what a look falls back to when the file cannot be used.
void NumberInFoundOrder(std::vector<PresentPort>& present);

// The notice of a look whose numbers file could not be used at all: "cannot use the COM numbers in
// PATH (why): until it is mended, COMn is the n-th serial port found".
std::string FallbackNotice(const std::string& path, const std::string& why);
// The notice of a look that gave new numbers it could not write down: "cannot save new COM numbers in
// PATH (why): COM3 usb-a, COM4 usb-b holds only for now".
std::string UnsavedNotice(const std::string& path, const std::string& why,
                          const std::vector<KeptNumber>& added);

}  // namespace kv
