#include "velloc/archive/archive_options.h"

#include <string_view>

#include "velloc/archive/archive_text.h"

namespace {

constexpr std::string_view kCommands[] = {"--list",  "--show",    "--export",  "--purge",
                                          "--erase", "--release", "--deliver", "--resend"};

bool takes_value(std::string_view option) {
  for (std::string_view known :
       {"--show", "--erase", "--release", "--export", "--settings", "--form", "--search", "--tag",
        "--status", "--since", "--until", "--resend", "--now"})
    if (option == known) return true;
  return false;
}

struct Parser {
  const std::vector<std::string>& arguments;
  std::size_t next = 0;
  std::string* error;

  // The value of `option`: after "=" in `inline_value`, else the next argument.
  std::optional<std::string> value(const std::string& option,
                                   const std::optional<std::string>& inline_value) {
    if (inline_value) return inline_value;
    if (next < arguments.size()) return arguments[next++];
    *error = option + " needs a value";
    return std::nullopt;
  }
};

bool set_command(ArchiveOptions& options, bool* have_command, ArchiveOptions::Command command,
                 const std::string& option, std::string* error) {
  if (*have_command) {
    *error = "only one command at a time: " + option;
    return false;
  }
  *have_command = true;
  options.command = command;
  return true;
}

bool set_time(std::int64_t* field, const std::string& option, const std::string& text, bool day_end,
              std::string* error) {
  std::optional<std::int64_t> time = parse_iso_time(text, day_end);
  if (!time) {
    *error = option + " wants a date YYYY-MM-DD or a time YYYY-MM-DDTHH:MM[:SS][Z|+HH:MM]: " + text;
    return false;
  }
  *field = *time;
  return true;
}

bool set_status(SubmissionFilter& filter, const std::string& text, std::string* error) {
  for (std::string_view status : {"accepted", "spam", "pending", "failed", "awaiting"})
    if (text == status) {
      filter.status = text;
      return true;
    }
  *error = "--status wants accepted, spam, pending, failed or awaiting: " + text;
  return false;
}

bool filters_given(const ArchiveOptions& options) {
  const SubmissionFilter& f = options.filter;
  return !f.form_profile.empty() || !f.status.empty() || f.since != 0 || f.until != 0 ||
         !f.search.empty() || !f.tag.empty();
}

// One option and its value; false with `*error` set.
bool parse_one(Parser& parser, ArchiveOptions& options, bool* have_command, bool* json_given) {
  std::string argument = parser.arguments[parser.next++];
  std::optional<std::string> inline_value;
  if (std::size_t equals = argument.find('='); equals != std::string::npos) {
    inline_value = argument.substr(equals + 1);
    argument.resize(equals);
  }
  using Command = ArchiveOptions::Command;
  std::string* error = parser.error;
  auto no_value = [&] {
    if (inline_value) *error = argument + " takes no value";
    return !inline_value;
  };
  if (argument == "--list")
    return no_value() && set_command(options, have_command, Command::kList, argument, error);
  if (argument == "--purge")
    return no_value() && set_command(options, have_command, Command::kPurge, argument, error);
  if (argument == "--deliver")
    return no_value() && set_command(options, have_command, Command::kDeliver, argument, error);
  if (argument == "--json") {
    *json_given = options.json = true;
    return no_value();
  }
  if (!takes_value(argument)) {
    *error = "unknown option " + argument;
    return false;
  }
  std::optional<std::string> value = parser.value(argument, inline_value);
  if (!value) return false;
  if (value->empty()) {
    *error = argument + " needs a value";
    return false;
  }
  if (argument == "--show") {
    options.id = *value;
    return set_command(options, have_command, Command::kShow, argument, error);
  }
  if (argument == "--release") {
    options.id = *value;
    return set_command(options, have_command, Command::kRelease, argument, error);
  }
  if (argument == "--resend") {
    options.id = *value;
    return set_command(options, have_command, Command::kResend, argument, error);
  }
  if (argument == "--now") return set_time(&options.now, argument, *value, false, error);
  if (argument == "--erase") {
    options.address = *value;
    if (value->find('@') == std::string::npos) {
      *error = "--erase wants a mail address: " + *value;
      return false;
    }
    return set_command(options, have_command, Command::kErase, argument, error);
  }
  if (argument == "--export") {
    if (*value != "csv" && *value != "json") {
      *error = "--export wants csv or json: " + *value;
      return false;
    }
    options.json = *value == "json";
    return set_command(options, have_command, Command::kExport, argument, error);
  }
  if (argument == "--settings") {
    options.settings_file = *value;
    return true;
  }
  if (argument == "--form") {
    options.filter.form_profile = *value;
    return true;
  }
  if (argument == "--search") {
    options.filter.search = *value;
    return true;
  }
  if (argument == "--tag") {
    options.filter.tag = *value;
    return true;
  }
  if (argument == "--status") return set_status(options.filter, *value, error);
  if (argument == "--since") return set_time(&options.filter.since, argument, *value, false, error);
  return set_time(&options.filter.until, argument, *value, true, error);  // --until
}

}  // namespace

bool is_archive_command_line(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    std::string_view name = std::string_view(argument).substr(0, argument.find('='));
    for (std::string_view command : kCommands)
      if (name == command) return true;
  }
  return false;
}

std::optional<ArchiveOptions> parse_archive_options(const std::vector<std::string>& arguments,
                                                    std::string* error) {
  ArchiveOptions options;
  Parser parser{arguments, 0, error};
  bool have_command = false;
  bool json_given = false;
  while (parser.next < arguments.size())
    if (!parse_one(parser, options, &have_command, &json_given)) return std::nullopt;
  using Command = ArchiveOptions::Command;
  if (!have_command) {
    *error =
        "no command: give --list, --show, --export, --purge, --erase, --release, --deliver or "
        "--resend";
    return std::nullopt;
  }
  bool filtering = options.command == Command::kList || options.command == Command::kExport;
  if (!filtering && filters_given(options)) {
    *error = "--form, --status, --since, --until, --search and --tag go with --list or --export";
    return std::nullopt;
  }
  if (options.now != 0 && options.command != Command::kDeliver &&
      options.command != Command::kPurge) {
    *error = "--now goes with --deliver or --purge";
    return std::nullopt;
  }
  if (json_given && options.command != Command::kList && options.command != Command::kShow) {
    *error = "--json goes with --list or --show";
    return std::nullopt;
  }
  return options;
}

std::string archive_usage() {
  return "The archive (Archive=1), read with the settings that a web run reads:\n"
         "  --list                  the submissions kept, newest first\n"
         "    --form NAME           only those of this form profile\n"
         "    --status STATUS       accepted, spam, pending (a delivery waits), failed or\n"
         "                          awaiting (confirmation)\n"
         "    --since TIME          received at or after: YYYY-MM-DD or an ISO time\n"
         "    --until TIME          received before (a date: up to its end)\n"
         "    --search TEXT         a field holds this text (case-blind)\n"
         "    --tag TAG             the form profile's rules tagged it so\n"
         "    --json                as a JSON document\n"
         "  --show ID [--json]      one submission: fields, outcomes, deliveries\n"
         "  --export csv|json       the filtered submissions with their fields\n"
         "  --purge                 delete those kept longer than KeepSubmissions, and\n"
         "                          those never confirmed whose link expired\n"
         "  --erase ADDRESS         delete every submission whose fields hold ADDRESS\n"
         "  --release ID            run the actions of a submission kept as spam\n"
         "  --deliver               send the deliveries that are due (from cron or the timer)\n"
         "    --now TIME            as if it were TIME (for tests of the retry schedule and\n"
         "                          of what --purge deletes)\n"
         "  --resend ID             the submission's form mail again, as a new delivery\n"
         "  --settings PATH         the settings file (else found as a web run finds it)\n"
         "Times are UTC unless they name their offset.\n";
}
