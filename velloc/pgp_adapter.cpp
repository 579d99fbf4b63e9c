// The "pgp" program that ships beside velloc: it takes the classic command line
// "pgp -feat <recipient>" (filter, encrypt, ASCII armour, text input; without "t"
// the input is taken as binary) and runs GnuPG in filter mode with the same meaning: the plain text
// on standard input, the armoured encrypted text on standard output, diagnostics on standard error.
// GnuPG is executed directly; no shell ever sees the recipient. It gets only the
// variables of platform::is_helper_variable from the adapter's environment and is
// told to find keys in the local key ring alone: a recipient without a key there
// fails the encryption, never starts a lookup on the network.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "platform/child_environment.h"

extern char** environ;

namespace {

constexpr char kGnuPg[] = "gpg";
constexpr int kUsageError = 2;
constexpr int kStartError = 127;
// No key server, no web key directory, no dirmngr, whatever a gpg.conf says.
constexpr const char* kLocalKeysOnly[] = {"--auto-key-locate", "clear,local",
                                          "--no-auto-key-retrieve", "--disable-dirmngr"};

// True when the option letters hold f, e and a, and perhaps t (in any order,
// nothing else).
bool is_filter_encrypt_option(std::string_view option) {
  if (option.size() < 2 || option[0] != '-') return false;
  std::string_view letters = option.substr(1);
  for (char c : letters)
    if (std::strchr("feat", c) == nullptr) return false;
  for (char wanted : std::string_view("fea"))
    if (letters.find(wanted) == std::string_view::npos) return false;
  return true;
}

std::vector<std::string> gnupg_arguments(const std::string& recipient, bool text_input) {
  std::vector<std::string> arguments = {kGnuPg, "--batch", "--no-tty"};
  arguments.insert(arguments.end(), std::begin(kLocalKeysOnly), std::end(kLocalKeysOnly));
  arguments.push_back("--armor");
  if (text_input) arguments.push_back("--textmode");
  for (const char* argument : {"--encrypt", "--recipient"}) arguments.push_back(argument);
  arguments.push_back(recipient);
  return arguments;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || !is_filter_encrypt_option(argv[1]) || argv[2][0] == '\0') {
    std::fprintf(stderr, "usage: pgp -feat <recipient>\n");
    return kUsageError;
  }
  bool text_input = std::strchr(argv[1], 't') != nullptr;
  std::vector<std::string> arguments = gnupg_arguments(argv[2], text_input);
  std::vector<char*> gnupg_argv;
  for (std::string& argument : arguments) gnupg_argv.push_back(argument.data());
  gnupg_argv.push_back(nullptr);
  std::vector<std::string> environment = platform::helper_environment(environ);
  std::vector<char*> gnupg_envp;
  for (std::string& entry : environment) gnupg_envp.push_back(entry.data());
  gnupg_envp.push_back(nullptr);
  execvpe(kGnuPg, gnupg_argv.data(), gnupg_envp.data());
  std::fprintf(stderr, "pgp: cannot start %s: %s\n", kGnuPg, std::strerror(errno));
  return kStartError;
}
