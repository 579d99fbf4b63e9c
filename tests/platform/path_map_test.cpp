#include "platform/path_map.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/cgi_runner.h"

namespace {

using platform::native_path;
using platform::native_path_for_create;

TEST(NativePath, BackslashesBecomeSlashesAndCaseIsMatchedExactFirst) {
  testing_support::TempDir dir;
  dir.write("Brannic/Templates/thanks.htm", "x");
  dir.write("Velloc.ini", "b");
  dir.write("vELLOC.ini", "c");
  EXPECT_EQ(dir.file("Brannic/Templates/thanks.htm"),
            native_path(dir.path() + "\\BRANNIC\\TEMPLATES\\thanks.htm"));
  EXPECT_EQ(dir.file("vELLOC.ini"), native_path(dir.path() + "/vELLOC.ini"));
  EXPECT_EQ(dir.file("Velloc.ini"), native_path(dir.path() + "/VELLOC.INI"));
  EXPECT_EQ(dir.file("Brannic/missing/x"), native_path(dir.path() + "/brannic\\missing\\x"));
}

TEST(NativePathForCreate, ReusesAnEntryOrCreatesAsWritten) {
  testing_support::TempDir dir;
  dir.write("Logs/Brannic.log", "x");
  EXPECT_EQ(dir.file("Logs/Brannic.log"),
            native_path_for_create(dir.path() + "\\LOGS\\BRANNIC.LOG"));
  EXPECT_EQ(dir.file("Logs/Other.LOG"), native_path_for_create(dir.path() + "/logs/Other.LOG"));
}

TEST(NativePath, RelativePathsStayRelative) {
  testing_support::TempDir dir;
  dir.write("Sub/File.txt", "x");
  char* previous = getcwd(nullptr, 0);
  ASSERT_EQ(0, chdir(dir.path().c_str()));
  EXPECT_EQ("./Sub/File.txt", native_path(".\\SUB\\file.TXT"));
  EXPECT_EQ("Sub/New.Log", native_path_for_create("sub\\New.Log"));
  EXPECT_EQ(0, chdir(previous));
  free(previous);
}

TEST(ExecutableDirectory, IsTheDirectoryOfTheTestProgram) {
  std::string directory = platform::executable_directory();
  ASSERT_FALSE(directory.empty());
  EXPECT_EQ('/', directory.back());
  EXPECT_EQ(0, access((directory + "unit_tests").c_str(), X_OK));
}

}  // namespace
