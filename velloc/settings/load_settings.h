// Where a run finds its settings file, and the step that gives a run its settings:
// the site's typed settings (as the Site keeps them per version of the file) with the
// form profile the request chose.
#pragma once

#include <string>
#include <vector>

#include "velloc/response/negotiation.h"
#include "velloc/settings/form_settings.h"

class Site;
struct ProcessFacts;
struct Run;

// Directories searched for the settings file, in order: the executable's directory,
// the working directory, /etc/velloc/, then each directory of PATH.
std::vector<std::string> settings_search_directories(const ProcessFacts& facts);

// The first "VELLOC.ini" (any case) found along the search; empty when none.
std::string find_settings_file(const ProcessFacts& facts);

// The settings file of a request of `site`: find_settings_file, unless the Site keeps
// its last good settings. Then the file in use keeps its place in the search while it
// is missing or not good (no [Velloc] section), and a file found before it takes over
// only when it is good; the file taken keeps its last good version
// (IniFiles::keep_last_good).
std::string request_settings_file(Site& site);

// The TEMP setting (the working directory when there is no file or no setting), for
// decoding that runs before load_settings.
std::string temp_directory_setting(const settings::SiteSettings& site, const ProcessFacts& facts);

// Step 3: fills run.settings and the context fields of run.message from the site's
// settings of `settings_file` (empty: no file), applies the form profile, advances the
// receipt counter when the fields set RECEIPT_NUMBER (a request that the debug listing
// answers only reads it), and defaults EMAIL and RECIPIENT. Ends the run only for an
// unknown profile or a receipt number that the state store cannot give.
void load_settings_from(Run& run, const std::string& settings_file);
// The same with the settings file found along the search.
void load_settings(Run& run);

// Part of loading the settings, before any field is derived from them: applies
// the profile that FORM_PROFILE names, keeps its entries in the settings, and
// ends the run with "Unknown Form!" when the profile is unknown, or missing
// while ProfilesOnly=1.
void apply_form_profile(Run& run);

// The answer format for what is known of the run so far: the request's Accept
// and Content-Type, and Response in the profile or else in [Velloc].
AnswerFormat decide_answer_format(const Run& run);
