// The Ctrl-C handler ends the station's sleep at once: Windows runs it on a thread of its own, so
// nothing else would wake the sleeping thread.
#include <windows.h>

#include <gtest/gtest.h>

#include "cli/platform.h"
#include "ports/port_names.h"

namespace kv {
namespace {

TEST(Interrupts, TheConsoleHandlerEndsTheStationsSleep) {
  WatchForInterrupts();
  PortChanges changes({}, InterruptWake());
  changes.Changed();
  // A console of the test's own, which Ctrl-C can be sent to: a test run under wine has none.
  ::FreeConsole();
  ASSERT_TRUE(::AllocConsole());
  ASSERT_TRUE(::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
  // The serial drivers' registry key may change meanwhile and end a sleep too; a hang is the fault.
  while (InterruptCount().load() == 0) changes.Wait(std::chrono::hours(1));
  EXPECT_EQ(InterruptCount().load(), 1u);
}

}  // namespace
}  // namespace kv
