// The content rules, from the form profile or [Velloc]: MaxLinks (the most links
// all values together may hold) and BlockedWords (a file of words and phrases,
// blocked_words.h). Either broken makes the submission spam (spam_verdict.h).
// Both are off unless set.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "velloc/guard/blocked_words.h"
#include "velloc/guard/robot_settings.h"
#include "velloc/request/field_map.h"

struct Run;

struct ContentRules {
  std::optional<std::size_t> max_links;  // nullopt: links are not counted
  BlockedWords blocked_words;
};

// Why the fields break the rules ("7 links, at most 2 allowed", "blocked word
// \"casino\" in MESSAGE"); empty when they do not. Links in the form's own
// routing and presentation fields (REDIRECT, LINKBACK, ...) do not count.
std::string content_rule_broken(const FieldMap& fields, const ContentRules& rules);

// Step after the honeypot: ends the run as spam when a rule is broken. A
// BlockedWords file that cannot be read is logged and checks nothing.
void check_content_rules(Run& run);
