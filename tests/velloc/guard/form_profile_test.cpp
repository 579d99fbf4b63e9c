#include "velloc/guard/form_profile.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>

#include "tests/support/cgi_runner.h"
#include "tests/support/log_text.h"
#include "velloc/process_facts.h"
#include "velloc/settings/load_settings.h"
#include "velloc/response/html_responder.h"
#include "velloc/run.h"

namespace {

constexpr char kSettings[] =
    "[Velloc]\nLOGFILE=%s\nHoneypotField=site_hp\n%s\n"
    "[Form Contact]\nRECIPIENT=owner@example.test\nTEMPLATE_WEB=thanks.htm\nEMAIL=not@used\n"
    "VisitorControls=DO_RECEIPT, sortorder\nSORTORDER=name\nHoneypotField=website\n";

// The fields after loading the settings, as "NAME=value" lines in listing order,
// or the response and log when the run ended.
std::string fields_after_loading(const std::string& form, const char* velloc_keys) {
  testing_support::TempDir dir;
  char settings[1024];
  std::snprintf(settings, sizeof settings, kSettings, dir.file("velloc.log").c_str(), velloc_keys);
  dir.write("VELLOC.ini", settings);
  std::ostringstream out;
  Site site(read_process_facts());
  Run run(site);
  parse_form_data(form, ", ", run.request.fields);
  std::string listing;
  try {
    load_settings_from(run, dir.file("VELLOC.ini"));
  } catch (const RunEnded& ended) {
    write_html_answer(out, ended.answer, run.request, html_content_type(run.settings));
    return out.str().substr(out.str().find("<P>\n") + 4) + "|" +
           testing_support::logged_messages(dir.file("velloc.log"));
  }
  run.request.fields.for_each([&](const std::string& name, const std::string& value) {
    listing += name + "=" + value + "\n";
  });
  return listing + "HoneypotField=" + settings::form_value(*run.settings.site,
                                                    run.settings.form_profile.empty()
                                                        ? std::string()
                                                        : run.settings.form_profile_section,
                                                    "HoneypotField")
                                    .value_or("-");
}

TEST(FormProfile, ReplacesTheVisitorsControlFieldsUnlessListed) {
  // Expected fields in listing order.
  const std::string kRecipient = "RECIPIENT=owner@example.test\n";
  const std::string kTemplate = "TEMPLATE_WEB=thanks.htm\n";
  struct Case {
    const char* form;
    const char* velloc_keys;
    std::string expected;
  } cases[] = {
      {"name=Ann&form_profile=%20contact&recipient=evil@x&pgp_target=&debug_variables=1"
       "&email=ann@x",
       "",
       kRecipient + "SORTORDER=name\nEMAIL=ann@x\nNAME=Ann\n" + kTemplate +
           "HoneypotField=website"},
      {"form_profile=CONTACT&do_receipt=1&SortOrder=email,name&receipt_from=spoof@x", "",
       kRecipient + "SORTORDER=email,name\nDO_RECEIPT=1\n" + kTemplate + "HoneypotField=website"},
      {"form_profile=contakt&name=Ann", "",
       "Unknown Form!</CENTER></BODY>\n</HTML>\n|Unknown form profile: contakt\n"
       "Velloc Failed: Unknown Form!"},
      {"name=Ann&recipient=r@x", "ProfilesOnly=1",
       "Unknown Form!</CENTER></BODY>\n</HTML>\n|Unknown form profile: \n"
       "Velloc Failed: Unknown Form!"},
      {"name=Ann&recipient=r@x", "ProfilesOnly=0",
       "RECIPIENT=r@x\nNAME=Ann\nHoneypotField=site_hp"},
      {"form_profile=contact&name=Ann", "ProfilesOnly=1",
       kRecipient + "SORTORDER=name\nNAME=Ann\n" + kTemplate + "HoneypotField=website"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.expected, fields_after_loading(c.form, c.velloc_keys)) << c.form;
}

TEST(FormProfile, RemovingFieldsKeepsTheListingOrderOfTheRest) {
  FieldMap fields;
  parse_form_data("b=1&q=2&a=3&x=4&c=5&k=6&z=7&y=8", ", ", fields);
  std::string before, after;
  fields.for_each([&](const std::string& name, const std::string&) {
    if (name != "X" && name != "K") before += name;
  });
  remove_fields(fields, [](const std::string& name) { return name == "X" || name == "K"; });
  fields.for_each([&](const std::string& name, const std::string&) { after += name; });
  EXPECT_EQ(before, after);
}

}  // namespace
