#include "velloc/check/catalogue_check.h"

#include <set>

#include "platform/text.h"
#include "velloc/language/catalogue_store.h"
#include "velloc/language/language_choice.h"
#include "velloc/language/visitor_texts.h"

namespace {

using Severity = SettingsProblem::Severity;

// The languages named in [Velloc] and the profiles of `snapshot`.
void add_languages(const platform::IniSnapshot& snapshot, std::set<std::string>& languages) {
  for (const std::string& section : snapshot.section_names()) {
    bool profile =
        section.size() > 5 && platform::equal_ignoring_case(section.substr(0, 5), "Form ");
    if (!profile && !platform::equal_ignoring_case(section, "Velloc")) continue;
    for (const char* key : {"Language", "Languages"})
      for (std::string& tag : parse_language_list(snapshot.find(section, key).value_or("")))
        languages.insert(std::move(tag));
  }
}

std::string quoted(std::string_view text) {
  std::string shown = "msgid \"";
  for (char c : text) shown += c == '\n' ? std::string("\\n") : std::string(1, c);
  return shown + "\"";
}

}  // namespace

std::vector<SettingsProblem> check_catalogue_file(const std::string& path) {
  std::vector<SettingsProblem> problems;
  std::unique_ptr<MessageCatalogue> catalogue = read_catalogue(path);
  if (!catalogue) {
    problems.push_back({Severity::kWarning, path, 0,
                        "the catalogue cannot be read; every text of this language is English"});
    return problems;
  }
  std::set<std::string> named;
  for (const CatalogueProblem& problem : catalogue->problems()) {
    named.insert(problem.entry);
    std::string entry = problem.entry.empty() ? "" : quoted(problem.entry) + ": ";
    problems.push_back({Severity::kWarning, path, problem.line,
                        entry + problem.message + "; the text stays English"});
  }
  for (const std::string& text : missing_entries(*catalogue, visitor_texts()))
    if (named.count(text) == 0)
      problems.push_back(
          {Severity::kWarning, path, 0, quoted(text) + ": no translation; the text stays English"});
  return problems;
}

std::vector<SettingsProblem> check_catalogues(const settings::SiteSettings& site,
                                              const std::string& executable_directory) {
  std::set<std::string> languages;
  add_languages(site.content, languages);
  for (const platform::IniSnapshot& forms : site.form_files) add_languages(forms, languages);
  std::string folder = catalogue_folder(executable_directory, site.language_folder);
  std::vector<SettingsProblem> problems;
  for (const std::string& language : languages) {
    std::string path = catalogue_path(folder, language);
    if (path.empty()) continue;
    for (SettingsProblem& problem : check_catalogue_file(path))
      problems.push_back(std::move(problem));
  }
  return problems;
}
