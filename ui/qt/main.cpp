// ld6193: the KV6193 System File Loader window. It takes no arguments and always exits with 0.
#include "ui/application.h"
#include "ui/prompts.h"

int main(int argc, char** argv) {
  kv::QtPrompts prompts;
  kv::LoaderApplication application(argc, argv, prompts);
  kv::LoaderApplication::setApplicationName(QStringLiteral("ld6193"));
  return kv::RunProgram(application);
}
