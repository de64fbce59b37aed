// The Ctrl-C handler ends the station's sleep at once, also when the signal lands on another thread
// (a download's), where no system call of the sleeping thread is cut short by it.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "cli/platform.h"
#include "ports/port_names.h"
#include "tests/support/fake_tree.h"

namespace kv {
namespace {

TEST(Interrupts, ASignalOnAnotherThreadEndsTheStationsSleep) {
  test::FakeTree tree;
  WatchForInterrupts();
  PortChanges changes(tree.Root(), InterruptWake());
  ASSERT_TRUE(changes.Changed());  // every folder watched: nothing on the fake machine ends the sleep
  std::thread([] { std::raise(SIGINT); }).join();
  changes.Wait(std::chrono::hours(1));  // a hang here is the fault
  EXPECT_EQ(InterruptCount().load(), 1u);
}

}  // namespace
}  // namespace kv
