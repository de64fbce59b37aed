#include "line/line_settings.h"

namespace kv {

namespace {

// What raw mode clears on input: no break or parity marking, no stripping of bit 7, no CR/LF
// translation, no software flow control in either direction.
constexpr tcflag_t RawInputCleared = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                     IXOFF | IXANY | IMAXBEL
#ifdef IUCLC
                                     | IUCLC
#endif
    ;

// No echo, no line editing, no signals from received bytes.
constexpr tcflag_t RawLocalCleared = ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN
#ifdef XCASE
                                     | XCASE
#endif
    ;

// Size, parity, stop bits and hardware flow control are all set afresh below.
constexpr tcflag_t ControlCleared = CSIZE | PARENB | PARODD | CSTOPB
#ifdef CRTSCTS
                                    | CRTSCTS
#endif
#ifdef CMSPAR
                                    | CMSPAR  // would turn even parity into space parity
#endif
    ;

}  // namespace

termios WorkingLineSettings(const termios& found) {
  termios t = found;

  t.c_iflag &= ~RawInputCleared;
  // Parity is checked and a byte that fails it is dropped: a reply byte damaged on the line then
  // shows as a missing reply (a link failure the download retries), never as a byte that happens
  // to read 0xE5 or 0x68.
  t.c_iflag |= INPCK | IGNPAR;

  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~RawLocalCleared;

  t.c_cflag &= ~ControlCleared;
  t.c_cflag |= CS8 | PARENB | CLOCAL | CREAD;

  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);

  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = ReadTimeoutTenths;
  return t;
}

}  // namespace kv
