// The template files a run uses, by their part in it: resolved from the form's
// TEMPLATE_ fields under the template directory (template_paths.h); empty where the
// form names none.
#pragma once

#include <string>

struct TemplatePaths {
  std::string missing_template;
  std::string mail_template;
  std::string receipt_template;
  std::string web_template;
  std::string database_template;
  std::string textfile_template;
};
