// Test support: a scratch directory that removes itself, and a runner that starts
// a built program as a web server would start a CGI script (environment, body on
// standard input, working directory) and captures its standard output.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const;
  // Writes `content` to path()/name, creating parent directories.
  void write(const std::string& name, const std::string& content) const;
  // The content of path()/name; empty when missing.
  std::string read(const std::string& name) const;
  bool exists(const std::string& name) const;

 private:
  std::string path_;
};

struct CgiResult {
  std::string output;  // standard output
  std::string errors;  // standard error
  int exit_status = -1;
};

struct CgiInvocation {
  std::string binary;                    // defaults to the built velloc
  std::vector<std::string> environment;  // "NAME=value" entries; nothing else is inherited
  std::string body;                      // standard input
  std::string working_directory;         // defaults to the caller's
  std::vector<std::string> arguments;    // after the program name
};

CgiResult run_cgi(const CgiInvocation& invocation);

// The common CGI environment of a POST of `body` (CONTENT_LENGTH, REQUEST_METHOD,
// GATEWAY_INTERFACE, PATH=/usr/bin:/bin).
std::vector<std::string> post_environment(const std::string& body);

std::string read_file(const std::string& path);

}  // namespace testing_support
