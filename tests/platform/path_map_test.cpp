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
  const std::string root = dir.path();
  EXPECT_EQ(root + "/Brannic/Templates/thanks.htm",
            native_path(root + "\\BRANNIC\\TEMPLATES\\thanks.htm"));
  EXPECT_EQ(root + "/vELLOC.ini", native_path(root + "/vELLOC.ini"));
  EXPECT_EQ(root + "/Velloc.ini", native_path(root + "/VELLOC.INI"));
  EXPECT_EQ(root + "/Brannic/missing/x", native_path(root + "/brannic\\missing\\x"));
  EXPECT_EQ(root + "/Velloc.ini", native_path_for_create(root + "\\velloc.INI"));
  EXPECT_EQ(root + "/Brannic/New.LOG", native_path_for_create(root + "/BRANNIC/New.LOG"));

  char* previous = getcwd(nullptr, 0);
  ASSERT_EQ(0, chdir(root.c_str()));
  EXPECT_EQ("./Brannic/Templates/thanks.htm", native_path(".\\brannic\\templates\\THANKS.HTM"));
  EXPECT_EQ("Brannic/New.Log", native_path_for_create("brannic\\New.Log"));
  EXPECT_EQ(0, chdir(previous));
  free(previous);
}

TEST(ExecutableDirectory, IsTheDirectoryOfTheTestProgram) {
  std::string directory = platform::executable_directory();
  EXPECT_TRUE(directory.ends_with("/"));
  EXPECT_EQ(0, access((directory + "unit_tests").c_str(), X_OK));
}

}  // namespace
