#include "tests/support/served_site.h"

#include <sstream>

#include "velloc/pipeline.h"

namespace testing_support {

ProcessFacts facts_in(const TempDir& dir) {
  ProcessFacts facts;
  facts.working_directory = dir.path();
  facts.executable_directory = dir.file("bin") + "/";
  facts.temp_directory = dir.path() + "/";
  return facts;
}

std::string serve_once(Site& site, const std::vector<std::string>& environment,
                       const std::string& body) {
  std::vector<const char*> entries;
  for (const std::string& entry : environment) entries.push_back(entry.c_str());
  entries.push_back(nullptr);
  std::istringstream in(body);
  std::ostringstream response;
  serve_request(site, entries.data(), in, response);
  return response.str();
}

}  // namespace testing_support
