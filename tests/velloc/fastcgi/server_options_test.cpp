#include "velloc/fastcgi/server_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Action = ServerOptions::Action;

TEST(ServerOptions, CommandLines) {
  struct Case {
    std::vector<std::string> arguments;
    std::string error;  // empty: valid
    Action action;
    bool has_address;
    int workers;
    int max_requests;
    int request_timeout = 30;
    int idle_timeout = 5;
  };
  // clang-format off
  const Case cases[] = {
      {{}, "", Action::kServe, false, 6, 10000},
      {{"--fastcgi", "unix:/run/v.sock"}, "", Action::kServe, true, 6, 10000},
      {{"--workers", "1", "--max-requests", "7"}, "", Action::kServe, false, 1, 7},
      {{"--fastcgi", "[::1]:9000", "--workers", "1024"}, "", Action::kServe, true, 1024, 10000},
      {{"--help"}, "", Action::kHelp, false, 6, 10000},
      {{"--workers", "2", "--version"}, "", Action::kVersion, false, 2, 10000},
      {{"--request-timeout", "2", "--idle-timeout", "3600"}, "", Action::kServe, false, 6, 10000, 2, 3600},
      {{"--idle-timeout", "3601"}, "not a count for --idle-timeout: 3601", {}, false, 0, 0},
      {{"--request-timeout", "0"}, "not a count for --request-timeout: 0", {}, false, 0, 0},
      {{"--workers", "0"}, "not a count for --workers: 0", {}, false, 0, 0},
      {{"--workers", "1025"}, "not a count for --workers: 1025", {}, false, 0, 0},
      {{"--max-requests", "-1"}, "not a count for --max-requests: -1", {}, false, 0, 0},
      {{"--max-requests", "99999999999"}, "not a count for --max-requests: 99999999999", {}, false, 0, 0},
      {{"--workers"}, "--workers needs a value", {}, false, 0, 0},
      {{"--fastcgi", "localhost:80"}, "not an address to listen on: localhost:80", {}, false, 0, 0},
      {{"--verbose"}, "unknown option: --verbose", {}, false, 0, 0},
      {{"--workers=2"}, "unknown option: --workers=2", {}, false, 0, 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    std::string error;
    std::optional<ServerOptions> options = parse_server_options(c.arguments, 3, &error);
    std::string shown = c.arguments.empty() ? "(none)" : c.arguments[0];
    EXPECT_EQ(c.error, error) << shown;
    ASSERT_EQ(c.error.empty(), options.has_value()) << shown;
    if (!options) continue;
    EXPECT_EQ(c.action, options->action) << shown;
    EXPECT_EQ(c.has_address, options->address.has_value()) << shown;
    EXPECT_EQ(c.workers, options->workers) << shown;
    EXPECT_EQ(c.max_requests, options->max_requests) << shown;
    EXPECT_EQ(c.request_timeout, options->request_timeout) << shown;
    EXPECT_EQ(c.idle_timeout, options->idle_timeout) << shown;
  }
}

TEST(ServerOptions, HelpNamesTheModesAndTheDefaultWorkers) {
  std::string usage = server_usage(3);
  EXPECT_NE(std::string::npos, usage.find("listening socket"));
  EXPECT_NE(std::string::npos, usage.find("LISTEN_FDS"));
  EXPECT_NE(std::string::npos, usage.find("unix:/path/to/socket, 127.0.0.1:9000 or [::1]:9000"));
  EXPECT_NE(std::string::npos, usage.find("6 here"));
  EXPECT_NE(std::string::npos, server_version().find("FastCGI"));
}

}  // namespace
