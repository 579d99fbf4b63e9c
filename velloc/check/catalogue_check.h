// `velloc --check` of the message catalogues: those of the languages that Language= and
// Languages= name anywhere in the settings (and forms.d) are read as a run reads them,
// and each entry left out, each text without a good entry and a catalogue that cannot be
// read is named with the catalogue's file and line. Each is a warning: the texts
// concerned stay English.
#pragma once

#include <string>
#include <vector>

#include "velloc/check/settings_check.h"
#include "velloc/settings/site_settings.h"

std::vector<SettingsProblem> check_catalogues(const settings::SiteSettings& site,
                                              const std::string& executable_directory);

// The problems of one catalogue file, against every text velloc shows a visitor.
std::vector<SettingsProblem> check_catalogue_file(const std::string& path);
