// The log file, held open from the first line that is written until it is closed (the
// Site closes it before each request), shared by the copies of the run's mail record
// (the SMTP session's among them). The file
// is opened without following a link at its name, and refused when it is not a regular
// file or has other hard links; its folder is refused when that is a link, unless the
// settings allow links.
#pragma once

#include <mutex>
#include <string>

class LogFile {
 public:
  LogFile() = default;
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;
  ~LogFile();

  // Appends `line` with one write to the log named `name` ("NUL" the null device, "CON"
  // standard error), opening it at the first line and again only when the name changes.
  // False when it cannot be opened.
  bool append(const std::string& name, bool follow_links, const std::string& line);
  // Closes the file; the next line opens it again.
  void close();

 private:
  void close_file();

  std::mutex mutex_;
  std::string name_;
  int fd_ = -1;
  bool owned_ = false;
  bool tried_ = false;
};
