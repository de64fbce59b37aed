#include "ui/qt/application.h"

#include <QTimer>
#include <exception>

#include "ui/qt/qt_window.h"

namespace kv {

LoaderApplication::LoaderApplication(int& argc, char** argv, WindowPrompts& prompts)
    : QApplication(argc, argv), prompts_(prompts) {}

bool LoaderApplication::notify(QObject* receiver, QEvent* event) {
  bool handled = false;
  Guard([&] { handled = QApplication::notify(receiver, event); });
  return handled;
}

void LoaderApplication::ShowException(std::string_view message) {
  prompts_.ShowMessage(nullptr, QString::fromUtf8(message.data(), static_cast<qsizetype>(message.size())));
}

int RunProgram(LoaderApplication& application, const std::optional<std::string>& startFile) {
  application.Guard([&] {
    WindowLink link = MakeWindowLink();
    QtWindow window(application.Prompts(), *link.port, *link.clock, *link.ports);
    window.show();
    if (startFile) {
      // From inside the loop: a close chosen during the load must find a loop that can end.
      QTimer::singleShot(0, &window, [&window, &startFile] { window.Behaviour().LoadStartFile(*startFile); });
    }
    application.exec();
  });
  return 0;
}

}  // namespace kv
