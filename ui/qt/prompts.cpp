#include "ui/qt/prompts.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QMessageBox>
#include <QStringList>

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

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

bool ChooseFileAmong(WindowPrompts& prompts, QWidget* parent, std::span<const FileChoice> choices,
                     std::string& path) {
  QStringList filter;
  for (const FileChoice& choice : choices) filter << FromUtf8(choice.name);
  QString chosen;
  if (!prompts.ChooseFile(parent, filter.join(QStringLiteral(";;")), chosen)) return false;
  path = QFile::encodeName(chosen).toStdString();
  return true;
}

std::string DisplayNativePath(std::string_view nativePath) {
  return QFile::decodeName(QByteArray(nativePath.data(), static_cast<qsizetype>(nativePath.size())))
      .toStdString();
}

}  // namespace kv
