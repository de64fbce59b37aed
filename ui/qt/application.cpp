#include "ui/application.h"

#include <exception>

#include "ui/main_window.h"

namespace kv {

LoaderApplication::LoaderApplication(int& argc, char** argv, WindowPrompts& prompts)
    : QApplication(argc, argv), prompts_(prompts) {}

bool LoaderApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    ShowException(error.what());
  } catch (...) {
    ShowException("");  // nothing to tell but that it happened
  }
  return false;
}

void LoaderApplication::ShowException(std::string_view message) {
  prompts_.ShowMessage(nullptr, QString::fromUtf8(message.data(), static_cast<qsizetype>(message.size())));
}

int RunProgram(LoaderApplication& application) {
  try {
    TForm1 window(application.Prompts());
    window.show();
    application.exec();
  } catch (const std::exception& error) {
    application.ShowException(error.what());
  } catch (...) {
    application.ShowException("");
  }
  return 0;
}

}  // namespace kv
