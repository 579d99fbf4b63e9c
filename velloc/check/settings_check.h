// `velloc --check`: reads a settings file, its form profiles and the
// settings-format templates they name, and lists each problem with the file and
// line it stands on, against the declaration of the keys (velloc/settings). It
// reads files only and never writes; a secret's value never appears in a problem.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host_lookup.h"
#include "platform/ini_file.h"

struct SettingsProblem {
  enum class Severity { kError, kWarning } severity;
  std::string file;
  int line;  // from 1; 0 for the file as a whole
  std::string message;
};

// What the check asks of the system beyond reading files. The command asks it all
// by default; a web run asks nothing (CheckLookups::none()): it should neither load
// the ODBC driver manager nor wait on the resolver.
struct CheckLookups {
  using HostResolver =
      std::function<platform::HostLookup(const std::string& host, std::chrono::milliseconds)>;
  // Whether a template's DSN is looked up among the ODBC data sources.
  bool data_sources = true;
  // Looks up the relay's name (the host of SMTP, or of its default); empty: not
  // looked up. An IPv4 address is never looked up, as the mail step takes it as it is.
  HostResolver relay_name = platform::look_up_ipv4_host;
  // The longest the relay's lookup may take.
  std::chrono::seconds relay_bound{5};
  // Whether the DKIM key files are read and judged as a signing run would (owned by
  // the user running the check, mode 0600 or 0400, the key's type and size).
  bool dkim_keys = true;
  // Whether a site that sends the form mail from the visitor's address is warned of.
  bool sender_alignment = true;

  static CheckLookups none() {
    return {false, nullptr, std::chrono::seconds{5}, false, false};
  }
};

// The problems of `settings_file`, in the order of its lines; those of a template
// follow the line that first names it, and those of the file as a whole (line 0) come
// last. Relative paths in the settings (TEMPLATE_DIR, TEMP, ...) are taken from
// `working_directory`, the folder the web server runs velloc in. Folders velloc
// writes into are checked for the user running the check.
std::vector<SettingsProblem> check_settings(const std::string& settings_file,
                                            const std::string& working_directory,
                                            const CheckLookups& lookups = {});

// Why a site with VisitorReplyTo off is warned: its form mail is from the visitor.
extern const char kVisitorSenderWarning[];

// The problems of one version of one file that a run reads, from `content`: a
// settings file with its form profiles, or a template's .ini file (told by its first
// section, [TEMPLATES] or [DATABASE]). The templates a settings file names are only
// looked up, not read: each is checked as a file of its own.
std::vector<SettingsProblem> check_settings_text(const std::string& file, std::string_view content,
                                                 const std::string& working_directory);

// The first error among `problems` as the reason a version is not taken; nullopt when
// none is an error (warnings never stop a version).
std::optional<platform::IniFault> first_settings_error(
    const std::vector<SettingsProblem>& problems);

// Writes the problems one a line ("FILE:LINE: error: MESSAGE") and a closing count,
// or with `json` as one document. Returns the exit status: 1 when a problem is an
// error (with `strict`, any problem), else 0.
int report_problems(const std::vector<SettingsProblem>& problems, bool json, bool strict,
                    std::ostream& out);

// The command line of the check: --check [--settings PATH] [--json] [--strict].
struct CheckOptions {
  std::string settings_file;  // empty: found as a web run finds it
  bool json = false;
  bool strict = false;
};

// Whether `arguments` (without the program name) ask for the check.
bool is_check_command_line(const std::vector<std::string>& arguments);

// nullopt with `error` set for an unknown option or a missing value.
std::optional<CheckOptions> parse_check_options(const std::vector<std::string>& arguments,
                                                std::string* error);

// The lines of --help about the check.
std::string check_usage();

// `text` as a JSON string, quotes included.
std::string json_text(std::string_view text);
