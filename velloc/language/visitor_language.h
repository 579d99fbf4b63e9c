// The language a run answers its visitor in, and that language's catalogue.
#pragma once

#include <string>
#include <string_view>

class MessageCatalogue;
struct Run;

// The tag chosen by the form's Language= and Languages= (those of [Velloc] for an answer
// given before a profile applies) and the request's Accept-Language; empty: English.
std::string visitor_language(const Run& run);

// The catalogue of visitor_language(run) from the site's store; nullptr for English
// (or a language without a readable catalogue: its texts are English). Valid until the
// store is next asked.
const MessageCatalogue* visitor_catalogue(Run& run);

// `english` as the run's visitor reads it: for a step that puts a fixed text into a page
// itself (a template's value, say). A text of an Answer is translated by the responder.
std::string visitor_text(Run& run, std::string_view english);
