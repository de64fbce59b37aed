// The working line settings, checked flag by flag: a pseudo-terminal ignores parity and speed, so
// this is the only place they can be proven.
#include "line/line_settings.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kv::test {
namespace {

termios Zeroed() {
  return termios{};
}

termios AllBitsSet() {
  termios t;
  std::memset(&t, 0xFF, sizeof t);
  return t;
}

// A line as a login terminal leaves it: cooked, echoing, odd parity, 7 bits, two stop bits, both
// kinds of flow control, 9600 baud, a one-byte blocking read.
termios Cooked() {
  termios t{};
  t.c_iflag = ICRNL | IXON | IXOFF | IXANY | BRKINT | ISTRIP | PARMRK | INLCR | IGNCR | IMAXBEL;
  t.c_oflag = OPOST | ONLCR;
  t.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL;
  t.c_lflag = ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  t.c_cc[VINTR] = 3;
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  return t;
}

struct Start {
  const char* name;
  termios found;
};

class WorkingSettings : public ::testing::TestWithParam<Start> {};

TEST_P(WorkingSettings, AreRawEightEvenOneAt115200) {
  const termios t = WorkingLineSettings(GetParam().found);

  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));

  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_NE(t.c_cflag & PARENB, 0u) << "parity on";
  EXPECT_EQ(t.c_cflag & PARODD, 0u) << "parity even";
  EXPECT_EQ(t.c_cflag & CMSPAR, 0u) << "not mark/space parity";
  EXPECT_EQ(t.c_cflag & CSTOPB, 0u) << "one stop bit";
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u) << "no hardware flow control";
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));

  // No software flow control: 0x11 and 0x13 are ordinary bytes in a page.
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);
  // Bytes arrive as sent: no CR/LF translation, bit 7 kept, no break or parity marks inserted.
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | BRKINT), 0u);
  // A byte failing the parity check is dropped rather than passed on as if it were good.
  EXPECT_EQ(t.c_iflag & (INPCK | IGNPAR), static_cast<tcflag_t>(INPCK | IGNPAR));
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN), 0u);

  // One-byte reads: at once when a byte waits, after 100 ms when none comes.
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 1);
}

INSTANTIATE_TEST_SUITE_P(LineSettings, WorkingSettings,
                         ::testing::Values(Start{"zeroed", Zeroed()}, Start{"all_bits_set", AllBitsSet()},
                                           Start{"cooked", Cooked()}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LineSettings, KeepWhatTheLoaderDoesNotCareAbout) {
  // Whether the line drops its modem signals on close, and the special characters other than the
  // read limits, stay as the line had them.
  for (const tcflag_t hupcl : {tcflag_t{0}, tcflag_t{HUPCL}}) {
    termios found = Cooked();
    found.c_cflag = (found.c_cflag & ~static_cast<tcflag_t>(HUPCL)) | hupcl;
    const termios t = WorkingLineSettings(found);
    EXPECT_EQ(t.c_cflag & HUPCL, hupcl);
    EXPECT_EQ(t.c_cc[VINTR], 3);
  }
}

}  // namespace
}  // namespace kv::test
