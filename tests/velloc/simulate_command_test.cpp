#include "velloc/simulate/simulate_command.h"

#include <gtest/gtest.h>

namespace {

TEST(SimulateCommand, CommandLines) {
  struct Case {
    std::vector<std::string> arguments;
    std::string error;  // empty: read as below
    std::string query = {}, json_file = {};
    bool json = false;
  } cases[] = {
      {{"simulate", "--profile", "shop", "--query", "a=1"}, "", "a=1", "", false},
      {{"simulate", "--profile", "shop", "--json", "in.json", "--json"}, "", "", "in.json", true},
      {{"simulate", "--query", "a=1", "--json", "--profile", "shop"}, "", "a=1", "", true},
      {{"simulate", "--profile", "shop"},
       "simulate wants --profile NAME and one of --query TEXT or --json FILE"},
      {{"simulate", "--profile", "shop", "--query", "a", "--json", "f", "--json"},
       "unknown option for simulate: f"},
      {{"simulate", "--profile"}, "--profile wants a value"},
      {{"simulate", "--store", "x"}, "unknown option for simulate: --store"},
  };
  for (const Case& c : cases) {
    std::string error;
    std::optional<SimulateOptions> options = parse_simulate_options(c.arguments, &error);
    EXPECT_EQ(c.error, error) << c.arguments.size();
    if (!c.error.empty()) continue;
    ASSERT_TRUE(options);
    EXPECT_EQ("shop", options->profile);
    EXPECT_EQ(c.query, options->query);
    EXPECT_EQ(c.json_file, options->json_file);
    EXPECT_EQ(c.json, options->json);
  }
  EXPECT_TRUE(is_simulate_command_line({"simulate"}));
  EXPECT_FALSE(is_simulate_command_line({"--list", "simulate"}));
}

}  // namespace
