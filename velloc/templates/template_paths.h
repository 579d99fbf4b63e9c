// The template files of a run, resolved from the form's TEMPLATE_ fields under the
// template directory (step 6), and the required-field check (step 7).
#pragma once

#include <string>

struct Run;

struct TemplatePaths {
  std::string missing_template;
  std::string mail_template;
  std::string receipt_template;
  std::string web_template;
  std::string database_template;
  std::string textfile_template;
};

// Step 6. A name containing ".." leaves its path empty.
bool resolve_template_paths(Run& run);

// Fills `message` with the missing-fields text and returns how many fields named by
// REQUIRED are blank.
int list_missing_fields(const Run& run, std::string& message);

// Step 7: answers an incomplete form (redirect, missing-fields template or failure
// page) and ends the run; otherwise defaults EMAIL and returns true.
bool check_required_fields(Run& run);
