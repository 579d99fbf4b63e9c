#include "velloc/guard/content_rules.h"

#include <fstream>
#include <limits>

#include "platform/path_map.h"
#include "platform/text.h"
#include "velloc/guard/link_count.h"
#include "velloc/guard/spam_verdict.h"
#include "velloc/request/event_log.h"
#include "velloc/request/page_head.h"
#include "velloc/run.h"

namespace {

// A longer list is read up to here: 1 MiB holds tens of thousands of phrases.
constexpr std::streamsize kMaxListBytes = 1 << 20;

bool read_list(const std::string& path, std::string* text) {
  std::ifstream file(platform::native_path(path), std::ios::binary);
  if (!file) return false;
  text->resize(kMaxListBytes);
  file.read(text->data(), kMaxListBytes);
  text->resize(static_cast<std::size_t>(file.gcount()));
  return !file.bad();
}

// The routing and presentation fields (REDIRECT, LINKBACK, BGIMAGE, ...) hold the
// form's own addresses, which no visitor typed; the subject is the visitor's.
bool holds_visitor_links(std::string_view name) {
  return !is_control_field(name) || platform::equal_ignoring_case(name, "SUBJECT");
}

}  // namespace

std::string content_rule_broken(const FieldMap& fields, const ContentRules& rules) {
  std::size_t links = 0;
  std::string blocked;
  fields.for_each([&](const std::string& name, const std::string& value) {
    if (rules.max_links && holds_visitor_links(name)) links += count_links(value);
    if (!blocked.empty() || rules.blocked_words.empty()) return;
    std::string word = rules.blocked_words.find_in(value);
    if (!word.empty()) blocked = "blocked word \"" + word + "\" in " + name;
  });
  if (!blocked.empty()) return blocked;
  if (rules.max_links && links > *rules.max_links)
    return std::to_string(links) + " links, at most " + std::to_string(*rules.max_links) +
           " allowed";
  return "";
}

void check_content_rules(Run& run) {
  ContentRules rules;
  rules.max_links = run.settings.max_links;
  const std::string& list_path = run.settings.blocked_words;
  if (!list_path.empty()) {
    std::string list;
    if (read_list(list_path, &list))
      rules.blocked_words = BlockedWords::parse(list);
    else
      log_event(run.message, 1, "Blocked words not checked: cannot read %s\n", list_path.c_str());
  }
  if (!rules.max_links && rules.blocked_words.empty()) return;
  std::string broken = content_rule_broken(run.request.fields, rules);
  if (!broken.empty()) end_as_spam(run, "content_rules", broken);
}
