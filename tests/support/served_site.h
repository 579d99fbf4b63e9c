// Test support: a Site whose process works in a scratch directory, and requests
// served by it in-process, one after another, as a persistent worker serves them.
#pragma once

#include <string>
#include <vector>

#include "tests/support/cgi_runner.h"
#include "velloc/site.h"

namespace testing_support {

// The facts of a process working in `dir`: its working and temporary directory,
// with `dir`/bin/ as the program's own.
ProcessFacts facts_in(const TempDir& dir);

// One request with `environment` ("NAME=value" entries) and `body`, served by
// `site`; the response's bytes.
std::string serve_once(Site& site, const std::vector<std::string>& environment,
                       const std::string& body = "");

}  // namespace testing_support
