// The site-wide settings of a run, read from the settings file "VELLOC.ini"
// (section "Velloc") by load_settings, and the referer check that they drive.
#pragma once

#include <string>
#include <vector>

struct Run;

struct Settings {
  std::string settings_file;       // where the file was found; empty when none
  std::string pgp_directory;       // ends in "\" (or "/") unless empty
  std::string template_directory;  // prefix of every template path, used unchanged
  std::string referers;
  std::string default_recipient;
  std::string start_directory;  // working directory when load_settings began
};

// Directories searched for the settings file, in order: the executable's directory,
// the working directory, /etc/velloc/, then each directory of PATH.
std::vector<std::string> settings_search_directories();

// The first "VELLOC.ini" (any case) found along the search; empty when none.
std::string find_settings_file();

// The TEMP setting of the settings file found along the search (the working
// directory when none), for decoding that runs before load_settings.
std::string temp_directory_setting();

// Step 3: fills run.settings and the context fields of run.message, advances the
// receipt counter when the form sets RECEIPT_NUMBER, and defaults EMAIL and
// RECIPIENT. Never ends the run.
void load_settings(Run& run);
// The same with the settings file given (empty: no file).
void load_settings_from(Run& run, const std::string& settings_file);

// Step 5: true when the request may proceed.
bool check_referer(const Run& run);
// The host piece of a referer: the second "/"-separated piece (runs of "/" count as
// one cut), looking at the first 1999 characters only; empty when there is none.
std::string referer_host(const std::string& referer);
