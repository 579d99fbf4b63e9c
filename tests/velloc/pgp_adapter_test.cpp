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

// Runs the program on "secret\n" with an empty key ring; "<exit code>|<output>|<errors>".
std::string run_adapter(const std::vector<std::string>& arguments) {
  testing_support::TempDir dir;
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
  int exit_code = -1;
  if (child > 0 && platform::wait_for_process(child, 60, 500, &status) && WIFEXITED(status))
    exit_code = WEXITSTATUS(status);
  unsetenv("GNUPGHOME");
  for (int fd : {input, output, errors}) close(fd);
  return std::to_string(exit_code) + "|" + dir.read("out.txt") + "|" + dir.read("err.txt");
}

TEST(PgpAdapterTest, RefusesAnythingButTheFilterEncryptCommandLine) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {}, {"-feat"}, {"-fet", "x@y"}, {"-featz", "x@y"}, {"-feat", ""}, {"-feat", "a", "b"}})
    EXPECT_EQ("2||usage: pgp -feat <recipient>\n", run_adapter(arguments)) << arguments.size();
}

TEST(PgpAdapterTest, UnknownRecipientFailsWithoutOutput) {
  std::string result = run_adapter({"-feat", "nobody@x.test; touch pwned"});
  EXPECT_NE('0', result[0]);
  EXPECT_NE(std::string::npos, result.find("||"));
  EXPECT_NE(std::string::npos, result.find("nobody@x.test; touch pwned"));
}

}  // namespace
