// ld6193: the KV6193 System File Loader window. An optional argument names a HEX file to load at start,
// as if chosen with "Load File" (a desktop opens files with it that way). It always exits with 0.
#include <optional>
#include <string>

#include "ui/qt/application.h"
#include "ui/qt/prompts.h"

int main(int argc, char** argv) {
  kv::QtPrompts prompts;
  kv::LoaderApplication application(argc, argv, prompts);  // takes Qt's own options out of argv
  kv::LoaderApplication::setApplicationName(QStringLiteral("ld6193"));
  std::optional<std::string> startFile;
  if (argc > 1) startFile = argv[1];
  return kv::RunProgram(application, startFile);
}
