// Reading the ProcessFacts of the running process. For entry points only: every
// unit below them takes the facts from the Site.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/path_map.h"
#include "velloc/site.h"

inline ProcessFacts read_process_facts() {
  ProcessFacts facts;
  const char* path = std::getenv("PATH");
  if (path != nullptr) facts.search_path = path;
  const char* tmpdir = std::getenv("TMPDIR");
  facts.temp_directory = (tmpdir && *tmpdir) ? tmpdir : "/tmp";
  if (facts.temp_directory.back() != '/' && facts.temp_directory.back() != '\\')
    facts.temp_directory += '/';
  if (char* directory = getcwd(nullptr, 0)) {
    facts.working_directory = directory;
    std::free(directory);
  }
  constexpr std::size_t kMaxHostName = 259;
  char host[kMaxHostName + 1] = {};
  if (gethostname(host, sizeof host - 1) == 0) facts.host_name = host;
  facts.executable_directory = platform::executable_directory();
  return facts;
}
