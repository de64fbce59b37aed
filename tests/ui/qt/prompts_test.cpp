// The real prompts, answered by the test from inside their own event loops: the message box has the
// program's name and a single OK, and the file dialog's "All files (*.*)" lists names without a full
// stop too, as it does on the program's home platform.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include "tests/ui/work_dir.h"
#include "ui/qt/prompts.h"

namespace kv::test {
namespace {

QStringList ListedNames(QFileDialog& dialog) {
  QStringList names;
  const auto* view = dialog.findChild<QListView*>("listView");
  if (!view || !view->model()) return names;
  for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row) {
    names << view->model()->index(row, 0, view->rootIndex()).data().toString();
  }
  return names;
}

TEST(QtPromptsTest, MessageBoxHasTheProgramsNameAndOneOkButton) {
  QString title, text;
  int buttons = 0;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    title = box->windowTitle();
    text = box->text();
    buttons = static_cast<int>(box->buttons().size());
    box->button(QMessageBox::Ok)->click();
  });
  QtPrompts().ShowMessage(nullptr, QString::fromUtf8("Nelze otev\xC5\x99\xC3\xADt soubor "));
  EXPECT_EQ(title, QCoreApplication::applicationName());
  EXPECT_EQ(text, QString::fromUtf8("Nelze otev\xC5\x99\xC3\xADt soubor "));
  EXPECT_EQ(buttons, 1);
}

TEST(QtPromptsTest, FileDialogOffersHexFirstAndAllFilesReallyMeansAll) {
  TempWorkDir dir;
  for (const char* name : {"app.hex", "boot", "notes.txt"}) WriteText(name, "");
  const QString missing = QString::fromStdString((dir.Path() / "typed.hex").string());
  QStringList hexChoice, allChoice;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ListedNames(*dialog).contains("app.hex"); }, 5000));
    hexChoice = ListedNames(*dialog);
    auto* choices = dialog->findChild<QComboBox*>("fileTypeCombo");
    ASSERT_NE(choices, nullptr);
    QTest::keyClick(choices, Qt::Key_Down);  // the person picks the second choice
    EXPECT_TRUE(QTest::qWaitFor([&] { return ListedNames(*dialog).contains("boot"); }, 5000));
    allChoice = ListedNames(*dialog);
    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setText(missing);
    QTest::keyClick(name, Qt::Key_Return);
  });
  QString chosen;
  EXPECT_TRUE(QtPrompts().ChooseFile(nullptr, "Loader 619x (*.hex);;All files (*.*)", chosen));
  EXPECT_EQ(chosen, missing) << "a typed name of a missing file comes back unchanged";
  hexChoice.sort();
  allChoice.sort();
  EXPECT_EQ(hexChoice, QStringList{"app.hex"});
  EXPECT_EQ(allChoice, (QStringList{"app.hex", "boot", "notes.txt"}));
}

TEST(QtPromptsTest, CancelledDialogGivesNoFile) {
  QTimer::singleShot(0, [] {
    if (auto* dialog = QApplication::activeModalWidget()) qobject_cast<QDialog*>(dialog)->reject();
  });
  QString chosen = "unchanged";
  EXPECT_FALSE(QtPrompts().ChooseFile(nullptr, "Loader 619x (*.hex);;All files (*.*)", chosen));
  EXPECT_EQ(chosen, "unchanged");
}

}  // namespace
}  // namespace kv::test
