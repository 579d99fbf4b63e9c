#include "velloc/language/visitor_language.h"

#include "velloc/language/catalogue_store.h"
#include "velloc/language/language_choice.h"
#include "velloc/language/message_catalogue.h"
#include "velloc/run.h"

std::string visitor_language(const Run& run) {
  const Settings& settings = run.settings;
  std::string fixed = settings.language, offered = settings.languages;
  if (fixed.empty() && offered.empty() && settings.site) {
    fixed = settings.site->language;
    offered = settings.site->languages;
  }
  if (fixed.empty() && offered.empty()) return {};
  return choose_language(fixed, parse_language_list(offered),
                         run.request.get_env("HTTP_ACCEPT_LANGUAGE"));
}

const MessageCatalogue* visitor_catalogue(Run& run) {
  if (!run.settings.site) return nullptr;
  std::string language = visitor_language(run);
  if (language.empty()) return nullptr;
  std::string folder =
      catalogue_folder(run.site.facts().executable_directory, run.settings.site->language_folder);
  return run.site.catalogues().catalogue(folder, language);
}

std::string visitor_text(Run& run, std::string_view english) {
  return std::string(translate(visitor_catalogue(run), english));
}
