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

// Runs the program on "secret\n" with an empty key ring and the environment
// `environment` adds to PATH and GNUPGHOME; "<exit code>|<output>|<errors>".
std::string run_adapter(const std::vector<std::string>& arguments,
                        const std::vector<std::string>& environment = {},
                        const std::string& path = "/usr/local/bin:/usr/bin:/bin") {
  testing_support::TempDir dir;
  dir.write("in.txt", "secret\n");
  mkdir(dir.file("home").c_str(), 0700);
  int input = open(dir.file("in.txt").c_str(), O_RDONLY | O_CLOEXEC);
  int output = open(dir.file("out.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  int errors = open(dir.file("err.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  platform::SpawnRequest request{PGP_ADAPTER_BINARY, arguments, input, output, errors, ""};
  request.environment = environment;
  request.environment->push_back("PATH=" + path);
  request.environment->push_back("GNUPGHOME=" + dir.file("home"));
  int error = 0;
  pid_t child = platform::spawn_process(request, &error);
  int status = -1;
  int exit_code = -1;
  if (child > 0 && platform::wait_for_process(child, 60, 500, &status) && WIFEXITED(status))
    exit_code = WEXITSTATUS(status);
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
  EXPECT_NE(std::string::npos, result.find("No public key")) << result;
  EXPECT_EQ(std::string::npos, result.find("WKD")) << result;
}

TEST(PgpAdapterTest, GnuPgGetsTheShortEnvironmentAndNoNetworkLookup) {
  testing_support::TempDir bin;
  bin.write("gpg",
            "#!/bin/sh\nenv | grep -E '^(HTTP|REMOTE|FOO|PATH|HOME|GNUPGHOME|LC|LANG|TZ)' |"
            " sed 's/=.*//' | sort\necho \"$@\"\n");
  chmod(bin.file("gpg").c_str(), 0755);
  std::string result =
      run_adapter({"-feat", "a@b.test"},
                  {"HTTP_PROXY=http://evil.test:3128", "REMOTE_ADDR=192.0.2.1", "FOO=1",
                   "HOME=/nonexistent", "LANG=C.UTF-8", "LC_ALL=C", "TZ=UTC", "LCX=1"},
                  bin.path() + ":/usr/bin:/bin");
  EXPECT_EQ(
      "0|GNUPGHOME\nHOME\nLANG\nLC_ALL\nPATH\nTZ\n"
      "--batch --no-tty --auto-key-locate clear,local --no-auto-key-retrieve --disable-dirmngr"
      " --armor --textmode --encrypt --recipient a@b.test\n|",
      result);
}

}  // namespace
