#include "velloc/fastcgi/worker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(WorkerParameters, BoundsOnOneAndOnAll) {
  const std::string one_too_long = "HTTP_COOKIE=" + std::string(kMaxParamBytes, 'c');
  const std::string longest = one_too_long.substr(0, kMaxParamBytes);
  struct Case {
    std::vector<std::string> parameters;
    bool within;
  };
  const Case cases[] = {
      {{}, true},
      {{"REQUEST_METHOD=POST", "CONTENT_LENGTH=5"}, true},
      {{longest}, true},
      {{one_too_long}, false},
      // Seven of the longest fit in the whole, eight do not.
      {std::vector<std::string>(7, longest), true},
      {std::vector<std::string>(8, longest), false},
  };
  for (const Case& c : cases) {
    std::vector<const char*> environment;
    for (const std::string& entry : c.parameters) environment.push_back(entry.c_str());
    environment.push_back(nullptr);
    EXPECT_EQ(c.within, parameters_within_limits(environment.data())) << c.parameters.size();
  }
  EXPECT_TRUE(parameters_within_limits(nullptr));
}

}  // namespace
