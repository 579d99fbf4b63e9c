// `velloc --show-settings`: every declared key (velloc/settings) with where it may
// stand, its type, its default and the value [Velloc] of a settings file gives it.
// A secret's value never appears: only whether it is set.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

// The command line of the listing: --show-settings [--settings PATH] [--json].
struct ListingOptions {
  std::string settings_file;  // empty: found as a web run finds it
  bool json = false;
};

// Whether `arguments` (without the program name) ask for the listing.
bool is_listing_command_line(const std::vector<std::string>& arguments);

// nullopt with `error` set for an unknown option or a missing value.
std::optional<ListingOptions> parse_listing_options(const std::vector<std::string>& arguments,
                                                    std::string* error);

// Writes one line a key in the order of the declaration, tab-separated: name, places,
// type, default, value in force; or with `json` one document. `settings_file` empty:
// no file, every key has its default. A key only a form profile or a template sets
// has no site-wide value ("(per form)", "(per template)").
void list_settings(const std::string& settings_file, bool json, std::ostream& out);

// The lines of --help about the listing.
std::string listing_usage();
