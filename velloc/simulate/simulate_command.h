// `velloc simulate`: one submission of a form profile taken through every decision a
// real run makes (the settings with the profile, the required fields and field checks,
// the guards, the routing and rules, the form mail, the receipt, the webhook call, the
// answer and the archive's purge date), while nothing is stored, sent or called: the
// guards that ask a service (challenge, captcha, spam filter) are reported skipped and
// the rate limits are not counted. The report goes to a stream as text or JSON.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

class Site;

struct SimulateOptions {
  std::string profile;
  std::string query;      // --query: the fields as a query string
  std::string json_file;  // --json FILE: the fields as a JSON object
  std::string settings_file;
  bool json = false;  // --json without a value after the others: the report as JSON
};

// Whether `arguments` (without the program name) ask for a simulation.
bool is_simulate_command_line(const std::vector<std::string>& arguments);

// nullopt with `error` set for a missing or unknown option.
std::optional<SimulateOptions> parse_simulate_options(const std::vector<std::string>& arguments,
                                                      std::string* error);

std::string simulate_usage();

// Simulates the submission against the settings file `settings_file` in `site`'s
// process; returns 0 when the submission would be accepted, 1 when refused, 2 when
// its body cannot be read.
int run_simulation(Site& site, const SimulateOptions& options, const std::string& settings_file,
                   std::ostream& out);
