// The shipped "pgp" program: only the filter-encrypt command line is accepted, and
// GnuPG's failure (here: no key for the recipient) is its exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/process.h"
#include "tests/support/cgi_runner.h"

namespace {

using testing_support::TempDir;

struct AdapterResult {
  int exit_code = -1;
  std::string output;
  std::string errors;
};

AdapterResult run_adapter(const std::vector<std::string>& arguments) {
  TempDir dir;
  dir.write("in.txt", "secret\n");
  mkdir(dir.file("home").c_str(), 0700);
  setenv("GNUPGHOME", dir.file("home").c_str(), 1);
  int input = open(dir.file("in.txt").c_str(), O_RDONLY | O_CLOEXEC);
  int output = open(dir.file("out.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  int errors = open(dir.file("err.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  platform::SpawnRequest request{PGP_ADAPTER_BINARY, arguments, input, output, errors, ""};
  int error = 0;
  pid_t child = platform::spawn_process(request, &error);
  int status = -1;
  AdapterResult result;
  if (child > 0 && platform::wait_for_process(child, 60, 500, &status) && WIFEXITED(status))
    result.exit_code = WEXITSTATUS(status);
  unsetenv("GNUPGHOME");
  for (int fd : {input, output, errors}) close(fd);
  result.output = dir.read("out.txt");
  result.errors = dir.read("err.txt");
  return result;
}

TEST(PgpAdapterTest, RefusesAnythingButTheFilterEncryptCommandLine) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {}, {"-feat"}, {"-fea", "x@y"}, {"-featz", "x@y"}, {"-feat", ""}, {"-feat", "a", "b"}}) {
    AdapterResult result = run_adapter(arguments);
    EXPECT_EQ(2, result.exit_code);
    EXPECT_EQ("usage: pgp -feat <recipient>\n", result.errors);
    EXPECT_EQ("", result.output);
  }
}

TEST(PgpAdapterTest, UnknownRecipientFailsWithoutOutput) {
  AdapterResult result = run_adapter({"-tafe", "nobody@x.test; touch pwned"});
  EXPECT_NE(0, result.exit_code);
  EXPECT_EQ("", result.output);
  EXPECT_NE(std::string::npos, result.errors.find("nobody@x.test; touch pwned"));
}

}  // namespace
