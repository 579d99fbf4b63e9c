#include "velloc/archive/archive_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "velloc/archive/archive_text.h"

namespace {

// Each command line gives these options, or this error.
TEST(ArchiveOptionsTest, CommandLines) {
  struct Case {
    std::vector<std::string> arguments;
    std::string parsed;  // command|settings|form|status|since|until|search|json|id|address
    std::string error;
  };
  const Case cases[] = {
      {{"--list"}, "list||||0|0||0||", ""},
      {{"--list", "--form", "contact", "--status=pending", "--search", "ann", "--json"},
       "list||contact|pending|0|0|ann|1||",
       ""},
      {{"--since", "2024-05-01", "--until", "2024-05-01", "--list"},
       "list||||1714521600000|1714608000000||0||",
       ""},
      {{"--list", "--since=2024-05-01T12:30+02:00"}, "list||||1714559400000|0||0||", ""},
      {{"--show", "20240501-ab", "--settings", "/etc/velloc/VELLOC.ini"},
       "show|/etc/velloc/VELLOC.ini|||0|0||0|20240501-ab|",
       ""},
      {{"--export", "json", "--form", "order"}, "export||order||0|0||1||", ""},
      {{"--export=csv"}, "export||||0|0||0||", ""},
      {{"--purge"}, "purge||||0|0||0||", ""},
      {{"--erase", "Ann@Example.com"}, "erase||||0|0||0||Ann@Example.com", ""},
      {{"--release=20240501-ab"}, "release||||0|0||0|20240501-ab|", ""},
      {{},
       "",
       "no command: give --list, --show, --export, --purge, --erase, --release, --deliver or "
       "--resend"},
      {{"--release"}, "", "--release needs a value"},
      {{"--release", "x", "--status", "spam"},
       "",
       "--form, --status, --since, --until, --search and --tag go with --list or --export"},
      {{"--list", "--purge"}, "", "only one command at a time: --purge"},
      {{"--list", "--bogus"}, "", "unknown option --bogus"},
      {{"--show"}, "", "--show needs a value"},
      {{"--list", "--form="}, "", "--form needs a value"},
      {{"--list=1"}, "", "--list takes no value"},
      {{"--export", "xml"}, "", "--export wants csv or json: xml"},
      {{"--erase", "ann"}, "", "--erase wants a mail address: ann"},
      {{"--list", "--status", "sent"},
       "",
       "--status wants accepted, spam, pending, failed or awaiting: sent"},
      {{"--list", "--since", "2024-02-30"},
       "",
       "--since wants a date YYYY-MM-DD or a time YYYY-MM-DDTHH:MM[:SS][Z|+HH:MM]: 2024-02-30"},
      {{"--purge", "--form", "x"},
       "",
       "--form, --status, --since, --until, --search and --tag go with --list or --export"},
      {{"--export", "csv", "--json"}, "", "--json goes with --list or --show"},
  };
  const char* const names[] = {"list", "show", "export", "purge", "erase", "release"};
  for (const Case& c : cases) {
    std::string arguments;
    for (const std::string& a : c.arguments) arguments += a + " ";
    SCOPED_TRACE(arguments);
    std::string error;
    std::optional<ArchiveOptions> options = parse_archive_options(c.arguments, &error);
    EXPECT_EQ(c.error, error);
    if (!options) {
      EXPECT_EQ("", c.parsed);
      continue;
    }
    const SubmissionFilter& f = options->filter;
    EXPECT_EQ(c.parsed, std::string(names[static_cast<int>(options->command)]) + "|" +
                            options->settings_file + "|" + f.form_profile + "|" + f.status + "|" +
                            std::to_string(f.since) + "|" + std::to_string(f.until) + "|" +
                            f.search + "|" + (options->json ? "1" : "0") + "|" + options->id + "|" +
                            options->address);
  }
}

TEST(ArchiveOptionsTest, ArchiveCommandsAreTellFromServerOptions) {
  EXPECT_TRUE(is_archive_command_line({"--settings", "x", "--erase=a@b"}));
  EXPECT_TRUE(is_archive_command_line({"--list"}));
  EXPECT_FALSE(is_archive_command_line({"--fastcgi", "unix:/run/v.sock", "--workers", "2"}));
  EXPECT_FALSE(is_archive_command_line({"--help"}));
}

// Whole addresses only, case-blind.
TEST(ArchiveTextTest, HoldsAddress) {
  struct Case {
    const char* value;
    bool holds;
  };
  const Case cases[] = {
      {"ann@example.com", true},
      {"ANN@Example.COM", true},
      {"Ann <ann@example.com>, bob@example.com", true},
      {"write to ann@example.com.", true},
      {"joann@example.com", false},
      {"ann@example.com.au", false},
      {"ann@example.community", false},
      {"x.ann@example.com", false},
      {"", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.holds, holds_address(c.value, "ann@example.com")) << c.value;
}

TEST(ArchiveTextTest, TimesAndIds) {
  EXPECT_EQ("2024-05-01T12:30:00Z", iso_time(1714566600000));
  EXPECT_EQ(1714566600123, parse_iso_time("2024-05-01T12:30:00.123Z", false));
  EXPECT_EQ(1709251200000, parse_iso_time("2024-02-29", true));  // leap day, to its end
  EXPECT_EQ(std::nullopt, parse_iso_time("2023-02-29", false));
  EXPECT_EQ(std::nullopt, parse_iso_time("2024-05-01T25:00", false));
  EXPECT_EQ(std::nullopt, parse_iso_time("2024-05-01T12:00+02", false));
  EXPECT_EQ(std::nullopt, parse_iso_time("2024-05-01x", false));
  EXPECT_EQ("20240501123000123-0000beef", make_archive_id(1714566600123, 0xbeef));
}

}  // namespace
