// The visitor's language: the choice among the offered languages, the catalogue
// reader, the check of a catalogue, and the pages through the built program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/cgi_runner.h"
#include "velloc/check/catalogue_check.h"
#include "velloc/language/catalogue_store.h"
#include "velloc/language/language_choice.h"
#include "velloc/language/message_catalogue.h"
#include "velloc/language/visitor_texts.h"

namespace {

TEST(LanguageChoice, AcceptLanguageChoosesAmongTheOfferedLanguages) {
  struct Case {
    const char* fixed;
    const char* offered;
    const char* accept;
    const char* chosen;
  };
  const Case cases[] = {
      {"", "", "de", ""},                                    // nothing set: English
      {"de", "", "fr", "de"},                                // Language= alone is the answer
      {"", "de,fr,en", "fr", "fr"},                          //
      {"", "de,fr,en", "fr;q=0.5, de;q=0.8", "de"},          // quality values decide
      {"", "de,fr,en", "de-CH", "de"},                       // a region of an offered language
      {"", "de-at,fr", "de", "de-at"},                       // an offered region of the range
      {"", "de,fr", "es, *;q=0.1", "de"},                    // "*" gives the first offered
      {"", "de,fr", "*;q=0.5, de;q=0", "fr"},                // q=0 excludes, even under "*"
      {"", "de,fr", "de-CH;q=0.9, de;q=0, fr;q=0.1", "fr"},  // the most specific range counts
      {"", "de,fr,en", "DE;Q=1.0", "de"},                    // tags and q without regard to case
      {"", "de,fr", "es", "de"},                             // none acceptable: the first offered
      {"fr", "de,es", "it", "fr"},                           // ... or Language=
      {"", "de,fr", "fr;q=x, de;q=0.2", "de"},               // a malformed quality drops its range
      {"", "de,fr", "fr;q=0.001, de;q=0.0009", "fr"},        // three places of quality
      {"", "de, fr;en", "fr;en", "de"},  // a list split at blanks and commas only
      {"", "fr,de", "de, fr", "fr"},     // a tie goes to the owner's order
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.offered) + " / " + c.accept);
    EXPECT_EQ(c.chosen, choose_language(c.fixed, parse_language_list(c.offered), c.accept));
  }
}

TEST(MessageCatalogue, GoodEntriesTranslateAndEveryOtherTextStaysEnglish) {
  const std::string po =
      "# header\n"
      "msgid \"\"\n"
      "msgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n"
      "\n"
      "msgid \"Unknown Form!\"\n"
      "msgstr \"Unbekanntes \"\n"
      "\"Formular!\"\n"
      "\n"
      "msgid \"Tab\\there \\\"q\\\" \\\\\\n\"\n"
      "msgstr \"T\\tq \\\"x\\\" \\\\\\n\"\n"
      "\n"
      "#, fuzzy\n"
      "msgid \"Fuzzy\"\n"
      "msgstr \"Unsicher\"\n"
      "\n"
      "msgid \"Empty\"\n"
      "msgstr \"\"\n"
      "\n"
      "msgctxt \"menu\"\n"
      "msgid \"Open\"\n"
      "msgstr \"Öffnen\"\n"
      "\n"
      "msgid \"Broken\"\n"
      "msgstr \"no end\n"
      "\n"
      "msgid \"<P>Tags<P>\\n\"\n"
      "msgstr \"Marken\\n\"\n"
      "\n"
      "msgid \"Twice\"\n"
      "msgstr \"Zweimal\"\n"
      "msgid \"Twice\"\n"
      "msgstr \"Noch einmal\"\n"
      "msgid \"No text\"\n"
      "\n"
      "msgid \"Last\"\n"
      "msgstr \"Zuletzt\"";
  MessageCatalogue catalogue = MessageCatalogue::parse(po);
  struct Case {
    const char* english;
    const char* shown;
  };
  const Case cases[] = {
      {"Unknown Form!", "Unbekanntes Formular!"},   // a string continued on the next line
      {"Tab\there \"q\" \\\n", "T\tq \"x\" \\\n"},  // the escapes
      {"Fuzzy", "Fuzzy"},                           // a fuzzy entry is not taken
      {"Empty", "Empty"},                           // nor an untranslated one
      {"Open", "Open"},                             // nor one of a context
      {"Broken", "Broken"},                         // nor a malformed one
      {"<P>Tags<P>\n", "<P>Tags<P>\n"},             // nor one that loses the page's tags
      {"Twice", "Zweimal"},                         // the first of two counts
      {"No text", "No text"},
      {"Last", "Zuletzt"},  // the last line needs no line end
      {"Not there", "Not there"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.shown, translate(&catalogue, c.english)) << c.english;
  EXPECT_EQ("Unknown Form!", translate(nullptr, "Unknown Form!"));
}

TEST(CatalogueCheck, NamesEachEntryLeftOutWithItsFileAndLine) {
  testing_support::TempDir folder;
  folder.write("xx.po",
               "msgid \"Unknown Form!\"\nmsgstr \"Unbekannt\n\n"
               "msgid \"<P>Form entry not complete, the following required fields are "
               "incomplete:<P>\\n\"\nmsgstr \"fehlt\"\n\n"
               "msgid \"Recipient Not Allowed!\"\nmsgstr \"Nein\"\nmsgstr \"Doch\"\n\n"
               "msgid \"Back To Site\"\nmsgstr \"Zurück\"\n");
  std::vector<std::string> shown;
  for (const SettingsProblem& problem : check_catalogue_file(folder.file("xx.po")))
    if (problem.line > 0 || problem.message.find("Back To Site") != std::string::npos ||
        problem.message.find("Unknown Form") != std::string::npos ||
        problem.message.find("Internal Error") != std::string::npos)
      shown.push_back(std::to_string(problem.line) + ": " + problem.message);
  const std::vector<std::string> expected = {
      "2: msgid \"Unknown Form!\": a malformed string after msgstr; the text stays English",
      "4: msgid \"<P>Form entry not complete, the following required fields are "
      "incomplete:<P>\\n\": the translation does not keep the text's tags and line ends; the "
      "text stays English",
      "9: msgid \"Recipient Not Allowed!\": msgstr twice in one entry; the text stays English",
      "0: msgid \"Internal Error!\": no translation; the text stays English",
  };
  EXPECT_EQ(expected, shown);
  ASSERT_EQ(1u, check_catalogue_file(folder.file("none.po")).size());
}

// A server reads a catalogue once per version, and an edited one at the next request.
TEST(CatalogueStore, ReadsEachVersionOnce) {
  testing_support::TempDir folder;
  std::string languages = folder.path() + "/";
  CatalogueStore store;
  EXPECT_EQ(nullptr, store.catalogue(languages, "de"));  // no file: English
  folder.write("de.po", "msgid \"Unknown Form!\"\nmsgstr \"Unbekannt\"\n");
  EXPECT_EQ(nullptr, store.catalogue(languages, "de"));  // looked at once a request
  store.begin_request();
  const MessageCatalogue* first = store.catalogue(languages, "de");
  EXPECT_EQ("Unbekannt", translate(first, "Unknown Form!"));
  store.begin_request();
  EXPECT_EQ(first, store.catalogue(languages, "de"));  // the same version, not read again
  folder.write("de.po", "msgid \"Unknown Form!\"\nmsgstr \"Formular unbekannt\"\n");
  store.begin_request();
  EXPECT_EQ("Formular unbekannt", translate(store.catalogue(languages, "de"), "Unknown Form!"));
  EXPECT_EQ(nullptr, store.catalogue(languages, "en"));     // English needs none
  EXPECT_EQ(nullptr, store.catalogue(languages, "../de"));  // nor is any other path read
  EXPECT_EQ("/usr/bin/../share/velloc/languages/", catalogue_folder("/usr/bin/", ""));
  EXPECT_EQ("/srv/po/", catalogue_folder("/usr/bin/", "/srv/po"));
}

// The shipped catalogues translate every text, each entry readable.
TEST(CatalogueCheck, ShippedCataloguesAreWhole) {
  for (const char* language : {"de", "fr", "es"}) {
    std::string path = std::string(SOURCE_DIR "/languages/") + language + ".po";
    for (const SettingsProblem& problem : check_catalogue_file(path))
      ADD_FAILURE() << path << ':' << problem.line << ": " << problem.message;
  }
}

// The pages and answers of a site whose forms speak German, through the built program.
TEST(LanguageBlackBox, RefusalsAndPagesInTheVisitorsLanguage) {
  testing_support::TempDir site;
  site.write("VELLOC.ini", "[Velloc]\nLOGFILE=NUL\nLanguageFolder=" SOURCE_DIR
                           "/languages/\n"
                           "AllowedRecipients=a@example.test\n"
                           "[Form de]\nLanguage=de\nREQUIRED=NAME\nDISABLE_MAIL=1\nLINKBACK=/\n"
                           "[Form elsewhere]\nLanguage=de\nRECIPIENT=b@example.test\n"
                           "[Form pick]\nLanguages=fr,es\nREQUIRED=name\n");
  const std::string kHead = "Content-Type: text/html\n\n<HTML>\n<BODY>\n";
  const std::string kFailed = kHead + "<CENTER>\n<H1>Formular wurde nicht verarbeitet</H1><P>\n";
  const std::string kEnd = "</CENTER></BODY>\n</HTML>\n";
  struct Case {
    const char* form;
    const char* accept;  // Accept-Language
    const char* json;    // Accept: application/json
    std::string expected;
  };
  const Case cases[] = {
      {"FORM_PROFILE=de&NAME=", "", "",
       kFailed +
           "<P>Das Formular ist nicht vollständig, folgende Pflichtfelder fehlen:<P>\n"
           "NAME<BR>\n" +
           kEnd},
      {"FORM_PROFILE=elsewhere", "", "", kFailed + "Empfänger nicht erlaubt!" + kEnd},
      {"FORM_PROFILE=de&NAME=Ann", "", "",
       kHead + "<H1>Formular erfolgreich gesendet</H1>\n<P>\n<H2>Folgende Angaben wurden "
               "gesendet:</H2>\n<HR><TABLE CELLSPACING=5 WIDTH=80%>"
               "<TR><TD VALIGN=TOP><B>DISABLE_MAIL</B></TD><TD>1</TD></TR>\n"
               "<TR><TD VALIGN=TOP><B>EMAIL</B></TD><TD>VellocPro</TD></TR>\n"
               "<TR><TD VALIGN=TOP><B>NAME</B></TD><TD>Ann</TD></TR>\n"
               "</TABLE><HR><A HREF=\"/\">Zurück zur Website</A>\n</BODY>\n</HTML>"},
      {"FORM_PROFILE=elsewhere", "", "application/json",
       "Status: 403 Forbidden\nContent-Type: application/json; charset=utf-8\n\n"
       "{\"ok\": false, \"error\": \"recipient\", \"message\": \"Empfänger nicht erlaubt!\"}\n"},
      {"FORM_PROFILE=pick&name=", "es-MX, fr;q=0.5", "",
       kHead +
           "<CENTER>\n<H1>El formulario no se procesó</H1><P>\n<P>El formulario no está "
           "completo, faltan los siguientes campos obligatorios:<P>\nname<BR>\n" +
           kEnd},
      {"FORM_PROFILE=pick&name=", "es;q=0, en", "",
       kHead +
           "<CENTER>\n<H1>Le formulaire n'a pas été traité</H1><P>\n<P>Formulaire "
           "incomplet, les champs obligatoires suivants manquent :<P>\nname<BR>\n" +
           kEnd},
      {"FORM_PROFILE=nobody", "", "",
       kFailed.substr(0, kHead.size()) +
           "<CENTER>\n<H1>Form Was Not Processed</H1><P>\n"
           "Unknown Form!" +
           kEnd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.form);
    std::string body = std::string(c.form) + "&DISABLE_MAIL=1";
    std::vector<std::string> environment = testing_support::post_environment(body);
    environment.push_back(std::string("HTTP_ACCEPT_LANGUAGE=") + c.accept);
    if (*c.json) environment.push_back(std::string("HTTP_ACCEPT=") + c.json);
    testing_support::CgiResult result =
        testing_support::run_cgi({"", environment, body, site.path(), {}});
    EXPECT_EQ(c.expected, result.output);
  }
}

}  // namespace
