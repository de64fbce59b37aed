// The name a chosen path gives the identification block, and the upper-cased path of the status text.
#include "image/loaded_file.h"

#include <gtest/gtest.h>

namespace kv::test {
namespace {

TEST(LoadedFileNameFor, KeepsTheUpperCasedNameWithoutFolderAndLastExtension) {
  struct Row {
    const char* path;
    const char* name;
  };
  for (const Row& r : {Row{"C:\\fw\\main.rel.hex", "MAIN.REL"}, Row{"boot", "BOOT"}, Row{"/a/b.c/d", "D"},
                       Row{"/home/tech/app.hex", "APP"}, Row{"C:app.hex", "APP"},
                       Row{"fw\\sub/Mixed.Hex", "MIXED"}, Row{"a.b.", "A.B"}, Row{".hex", ""},
                       Row{"/tmp/", ""}, Row{"longfirmwarename.hex", "LONGFIRMWARENAME"},
                       Row{"/x/\xC3\xBC"
                           "ber.hex",
                           "\xC3\xBC"
                           "BER"}}) {
    EXPECT_EQ(LoadedFileNameFor(r.path), r.name) << r.path;
  }
}

TEST(UpperCasePath, RaisesOnlyAsciiLetters) {
  EXPECT_EQ(UpperCasePath("/home/u/app-1_x.hex"), "/HOME/U/APP-1_X.HEX");
  EXPECT_EQ(UpperCasePath("c:\\fw\\\xC3\xA9t\xC3\xA9.hex"), "C:\\FW\\\xC3\xA9T\xC3\xA9.HEX");
}

}  // namespace
}  // namespace kv::test
