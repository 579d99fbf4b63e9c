// Placeholder until the template engine lands.
#include "velloc/template_engine.h"

bool expand_template(std::istream&, std::ostream&, CgiRequest&, TemplateState&) { return true; }
bool evaluate_condition(std::string_view, const CgiRequest&) { return false; }
bool read_template_line(std::istream&, std::string&) { return false; }
