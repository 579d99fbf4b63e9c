// The three answers to a complete form and the answers to an incomplete one, through the built
// program started as a web server starts it, with the default template directory.
#include <gtest/gtest.h>

#include "tests/support/cgi_runner.h"

namespace {

TEST(ResponseBlackBox, ExactBytesOfEveryResponsePath) {
  testing_support::TempDir site;
  site.write("VELLOC.ini", "[Velloc]\nLOGFILE=NUL\n");
  site.write("Brannic/Templates/Thanks.htm",
             "<h1>Thanks, %NAME%</h1>\r\n"
             "+brannic\\templates\\footer.inc+\r\n"
             "#TOTAL = QTY 2.5#[TOTAL > 5]{Total: %TOTAL%}\r\n");
  site.write("Brannic/Templates/Sub/file.htm", "x");
  site.write("Brannic/Templates/footer.inc", "<footer>^REQUEST_METHOD^</footer>");
  site.write("Brannic/Templates/missing.htm",
             "[EMAIL]{has email}[NAME=]{<p>Please give your name.</p>}");
  site.write("Brannic/Templates/again.htm", "<p>%EMAIL%</p>");
  site.write("Brannic/Templates/orders_db.ini", "[DATABASE]\nPASSWORD=secret\n");
  const std::string kHead = "Content-Type: text/html\n\n<HTML>\n<BODY>\n";
  const std::string kFailed = kHead + "<CENTER>\n<H1>Form Was Not Processed</H1><P>\n";
  const std::string kEnd = "</CENTER></BODY>\n</HTML>\n";
  const std::string kNotFound = kHead + "<H1>Web Template File Not Found</H1><BR>";
  const std::string kListed = kHead +
                              "<H1>Form Sent Successfully</H1>\n<P>\n<H2>The Following Information "
                              "Was Sent:</H2>\n<HR><TABLE CELLSPACING=5 WIDTH=80%>";
  std::pair<std::string, std::string> cases[] = {
      // The template page ignores the page head fields and REDIRECT.
      {"NAME=Ann&QTY=3&TEMPLATE_WEB=thanks.htm&REDIRECT=/x&FULLHEAD=1&BGCOLOR=red",
       "Content-type: text/html\n\n<h1>Thanks, Ann</h1>\n<footer>POST</footer>\n\nTotal: 7.50\n"},
      // The not-found page shows the escaped path tried, or none when the name was refused.
      {"TEMPLATE_WEB=%3Cx%3E.htm",
       kNotFound + ".\\BRANNIC\\TEMPLATES\\&lt;x&gt;.htm\n</BODY></HTML>\n"},
      {"TEMPLATE_WEB=sub", kNotFound + ".\\BRANNIC\\TEMPLATES\\sub\n</BODY></HTML>\n"},
      {"TEMPLATE_WEB=..%2Fthanks.htm", kNotFound + "\n</BODY></HTML>\n"},
      // Values in the template page and its includes are HTML-escaped.
      {"NAME=%3Cscript%3E&QTY=3&TEMPLATE_WEB=thanks.htm",
       "Content-type: text/html\n\n<h1>Thanks, &lt;script&gt;</h1>\n<footer>POST</footer>\n\n"
       "Total: 7.50\n"},
      // A settings file is never a page template.
      {"TEMPLATE_WEB=orders_db.ini",
       kNotFound + ".\\BRANNIC\\TEMPLATES\\orders_db.ini\n</BODY></HTML>\n"},
      // Redirects lose every control character, and go only to the site's own hosts.
      {"REDIRECT=%2Fdone%0B.html%0D%0AX-Injected:+1", "Location: /done.htmlX-Injected: 1\n\n"},
      {"REDIRECT=http%3A%2F%2Fsite.example%3A8080%2Fdone",
       "Location: http://site.example:8080/done\n\n"},
      {"REDIRECT=https%3A%2F%2Fevil.example%2Flogin",
       kListed + "<TR><TD VALIGN=TOP><B>DISABLE_MAIL</B></TD><TD>1</TD></TR>\n"
                 "<TR><TD VALIGN=TOP><B>EMAIL</B></TD><TD>VellocPro</TD></TR>\n"
                 "</TABLE><HR></BODY>\n</HTML>"},
      // The listing shows the EMAIL default and the hidden fields, but no control field.
      {"name=Ann&LINKBACK=%2F&SUBJECT=s",
       kListed + "<TR><TD VALIGN=TOP><B>DISABLE_MAIL</B></TD><TD>1</TD></TR>\n"
                 "<TR><TD VALIGN=TOP><B>EMAIL</B></TD><TD>VellocPro</TD></TR>\n"
                 "<TR><TD VALIGN=TOP><B>NAME</B></TD><TD>Ann</TD></TR>\n"
                 "</TABLE><HR><A HREF=\"/\">Back To Site</A>\n</BODY>\n</HTML>"},
      // Form text on the page is escaped; link text alone gives no link.
      {"SORTORDER=%3Ci%3E&<i>=%22%26&LINKBACK=%22%3E%3Cx&LINKBACKTEXT=%3Cback%3E",
       kListed + "<TR><TD VALIGN=TOP><B>&lt;i&gt;</B></TD><TD>&quot;&amp;</TD></TR>\n"
                 "</TABLE><HR><A HREF=\"&quot;&gt;&lt;x\">&lt;back&gt;</A>\n</BODY>\n</HTML>"},
      {"SORTORDER=a&LINKBACKTEXT=Home",
       kListed + "<TR><TD VALIGN=TOP><B>a</B></TD><TD></TD></TR>\n</TABLE><HR></BODY>\n</HTML>"},
      {"SORTORDER=a&LINKBACK=+JavaScript:alert(1)",
       kListed + "<TR><TD VALIGN=TOP><B>a</B></TD><TD></TD></TR>\n</TABLE><HR></BODY>\n</HTML>"},
      // Incomplete forms: REDIR_MISSING wins over TEMPLATE_MISSING.
      {"REQUIRED=name&REDIR_MISSING=%2Fmissing.html&TEMPLATE_MISSING=missing.htm",
       "Location: /missing.html\n\n"},
      {"REQUIRED=name&name=&TEMPLATE_MISSING=missing.htm",
       "Content-type: text/html\n\n<p>Please give your name.</p>\n"},
      {"REQUIRED=name&REDIR_MISSING=%2F%2Fevil.example&TEMPLATE_MISSING=missing.htm",
       "Content-type: text/html\n\n<p>Please give your name.</p>\n"},
      {"REQUIRED=name&email=%3Cb%3E&TEMPLATE_MISSING=again.htm",
       "Content-type: text/html\n\n<p>&lt;b&gt;</p>\n"},
      {"REQUIRED=name&TEMPLATE_MISSING=Orders_DB.INI",
       kFailed + "Could Not Open Required Fields Missing Template" + kEnd},
      {"REQUIRED=name,+email&email=&TEMPLATE_WEB=thanks.htm",
       kFailed +
           "<P>Form entry not complete, the following required fields are incomplete:<P>\n"
           "name<BR>\nemail<BR>\n" +
           kEnd},
      {"REQUIRED=name&TEMPLATE_MISSING=none.htm",
       kFailed + "Could Not Open Required Fields Missing Template" + kEnd},
      {"REQUIRED=name&TEMPLATE_MISSING=..%2Fmissing.htm", ""},
  };
  for (const auto& [form, expected] : cases) {
    SCOPED_TRACE(form);
    std::string body = form + "&DISABLE_MAIL=1";
    std::vector<std::string> environment = testing_support::post_environment(body);
    environment.insert(environment.end(),
                       {"SERVER_NAME=site.example", "HTTP_HOST=site.example:8080"});
    testing_support::CgiResult result =
        testing_support::run_cgi({"", environment, body, site.path(), {}});
    EXPECT_EQ(1, result.exit_status);
    EXPECT_EQ(expected, result.output);
  }
}

}  // namespace
