#include "ui/qt/prompts.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QMessageBox>

namespace kv {
namespace {

// A choice whose patterns are exactly "*.*" means every file, as it does on the program's home platform;
// taken literally here it would hide every name without a full stop.

void ListEveryFileFor(QFileDialog& dialog, const QString& choice) {
  if (!choice.endsWith(QStringLiteral("(*.*)"))) return;
  // The dialog has just applied the choice's patterns to its model; widen them.
  if (auto* model = dialog.findChild<QFileSystemModel*>()) model->setNameFilters({QStringLiteral("*")});
}

}  // namespace

void QtPrompts::ShowMessage(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok, parent);
  box.exec();
}

bool QtPrompts::ChooseFile(QWidget* parent, const QString& filter, QString& path) {
  // Qt's own dialog on every desktop: no title, no start folder or default extension of our own.
  QFileDialog dialog(parent, QString(), QString(), filter);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::AnyFile);  // a typed name of a missing file comes back unchanged
  QObject::connect(&dialog, &QFileDialog::filterSelected,
                   [&dialog](const QString& choice) { ListEveryFileFor(dialog, choice); });
  if (dialog.exec() != QDialog::Accepted) return false;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return false;
  path = chosen.front();
  return true;
}

}  // namespace kv
