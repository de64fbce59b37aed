// The window tests run under the program's own application object, on the offscreen platform unless
// told otherwise.
#include <gtest/gtest.h>

#include "tests/ui/qt/scripted_prompts.h"
#include "ui/qt/application.h"

namespace kv::test {
ScriptedPrompts& ApplicationPrompts() {
  static ScriptedPrompts prompts;
  return prompts;
}
}  // namespace kv::test

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  kv::LoaderApplication application(argc, argv, kv::test::ApplicationPrompts());
  return RUN_ALL_TESTS();
}
