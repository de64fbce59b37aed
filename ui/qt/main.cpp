// ld6193: the KV6193 System File Loader window. An optional argument names a HEX file to load at start,
// as if chosen with "Load File" (a desktop opens files with it that way). `ld6193 --station [FILE]`
// opens the production station's window instead, with FILE opened. It always exits with 0.
#include <optional>
#include <string>
#include <string_view>

#include "ui/qt/application.h"
#include "ui/qt/prompts.h"
#include "ui/qt/qt_station_form.h"

int main(int argc, char** argv) {
  kv::QtPrompts prompts;
  kv::LoaderApplication application(argc, argv, prompts);  // takes Qt's own options out of argv
  kv::LoaderApplication::setApplicationName(QStringLiteral("ld6193"));
  const bool station = argc > 1 && std::string_view(argv[1]) == "--station";
  const int first = station ? 2 : 1;
  std::optional<std::string> startFile;
  if (argc > first) startFile = argv[first];
  if (station) {
    kv::LoaderApplication::setDesktopFileName(QStringLiteral("ld6193-station"));
    return kv::RunStationProgram(application, startFile);
  }
  return kv::RunProgram(application, startFile);
}
