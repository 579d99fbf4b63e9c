// Placeholder until template selection lands.
#include "velloc/template_paths.h"

#include "velloc/run.h"

bool resolve_template_paths(Run&) { return true; }
int list_missing_fields(const Run&, std::string&) { return 0; }
bool check_required_fields(Run&) { return true; }
