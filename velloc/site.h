// What one velloc process keeps between the submissions it serves: the facts its
// entry point read about the process, the settings files as last read, and the
// state-store connection. The entry point owns the Site and hands it to every
// request; a Site serves one request at a time and outlives each of them.
#pragma once

#include <memory>
#include <string>

#include "platform/ini_file.h"
#include "velloc/guard/state_store.h"

// The process's own environment, read once by the entry point; nothing below it
// reads the environment, the working directory or the host name itself.
struct ProcessFacts {
  std::string search_path;           // PATH, ":"-separated; empty when unset
  std::string temp_directory;        // TMPDIR (else "/tmp"), ending in "/"
  std::string working_directory;     // empty when it cannot be had
  std::string host_name;             // empty when it cannot be had
  std::string executable_directory;  // ending in "/"; "./" when it cannot be had
};

// For a process that serves many requests: a visitor who hangs up (SIGPIPE) or a
// write beyond the file-size limit (SIGXFSZ) fails that write instead of ending
// the process. Called by the entry point before the first request.
void ignore_signals_of_failed_writes();

class Site {
 public:
  explicit Site(ProcessFacts facts) : facts_(std::move(facts)) {}
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;

  const ProcessFacts& facts() const { return facts_; }
  // The settings file, the form profiles and the templates' .ini files.
  platform::IniFiles& settings_files() { return settings_files_; }

  // Called before each request: files changed since they were read are read again
  // when next used, and a state store that failed during the last request is
  // closed, to be opened again when next needed.
  void begin_request();

  // The store for `connection`, opened now unless the one kept is for the same
  // connection; nullptr with `*error` set when it cannot be opened.
  StateStore* state_store(const std::string& connection, std::string* error);
  // Marks the kept store as failed: the next request opens it again.
  void state_store_failed() { state_store_failed_ = true; }

 private:
  ProcessFacts facts_;
  platform::IniFiles settings_files_;
  std::unique_ptr<StateStore> state_store_;
  std::string state_connection_;
  bool state_store_failed_ = false;
};
