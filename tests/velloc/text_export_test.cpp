#include "velloc/text_export.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/cgi_runner.h"
#include "velloc/run.h"

namespace {

using testing_support::TempDir;

TEST(ResolveRelativePathTest, PutsTheTemplateDirectoryInFrontOfPlainNames) {
  const std::string templ = ".\\BRANNIC\\TEMPLATES\\orders.ini";
  EXPECT_EQ("", resolve_relative_path("", templ));
  EXPECT_EQ(".\\BRANNIC\\TEMPLATES\\orders.csv",
            resolve_relative_path("orders.csv", templ));
  EXPECT_EQ(".\\BRANNIC\\TEMPLATES\\out/orders.csv",
            resolve_relative_path("out/orders.csv", templ));
  EXPECT_EQ("D:\\data\\orders.csv",
            resolve_relative_path("D:\\data\\orders.csv", templ));
  EXPECT_EQ("data\\orders.csv",
            resolve_relative_path("data\\orders.csv", templ));
  EXPECT_EQ("/srv/data/orders.csv",
            resolve_relative_path("/srv/data/orders.csv", templ));
  EXPECT_EQ("/srv/forms/out/x.csv",
            resolve_relative_path("out/x.csv", "/srv/forms/t.ini"));
  EXPECT_EQ("x.csv", resolve_relative_path("x.csv", "t.ini"));
  // The last backslash counts even when a slash follows it.
  EXPECT_EQ("a\\b.csv", resolve_relative_path("b.csv", "a\\sub/t.ini"));
}

std::string log_messages(const std::string& log) {
  static const std::regex prefix(
      R"(\[\d\d/\d\d/\d\d\|\d\d:\d\d:\d\d\|\d{5,}\] )");
  return std::regex_replace(log, prefix, "");
}

class TextExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    run_.message.log_file = dir_.file("velloc.log");
    run_.message.log_level = 15;
    run_.request.set_field("TEMPLATE_TEXTFILE", "orders.ini");
    run_.templates.textfile_template = dir_.file("forms/orders.ini");
    dir_.write("forms/order.txt", "%NAME%,%QTY%\n");
    dir_.write("forms/head.htm", "<HTML><BODY>%NAME%\n<UL>\n");
    dir_.write("forms/foot.htm", "</UL>\n</BODY></HTML>\n");
    dir_.write("forms/item.htm", "<LI>%NAME% (%QTY%)\n");
  }

  void write_template(const std::string& keys) {
    dir_.write("forms/orders.ini", "[TEMPLATES]\n" + keys);
  }

  bool submit(const std::string& name, const std::string& quantity) {
    run_.request.set_field("NAME", name);
    run_.request.set_field("QTY", quantity);
    return export_text_file(run_);
  }
  std::string log() { return log_messages(dir_.read("velloc.log")); }

  TempDir dir_;
  std::ostringstream response_;
  ::Run run_{response_};
};

TEST_F(TextExportTest,
       DirectModeAppendsOneRecordPerSubmissionAndIgnoresHeaderAndFooter) {
  write_template(
      "HEADER=head.htm\nDETAIL=order.txt\nFOOTER=foot.htm\nDESTINATION=out/"
      "orders.csv\n");
  dir_.write("forms/out/orders.csv", "Name,Qty\n");
  EXPECT_TRUE(submit("Ann", "3"));
  EXPECT_TRUE(submit("Bob", "4"));
  EXPECT_EQ("Name,Qty\nAnn,3\nBob,4\n", dir_.read("forms/out/orders.csv"));
  EXPECT_EQ("", log());
  EXPECT_EQ("", response_.str());
}

TEST_F(TextExportTest, WorkFileModeRebuildsTheDestinationAroundAllRecords) {
  write_template(
      "HEADER=head.htm\nDETAIL=item.htm\nFOOTER=foot.htm\nWORKFILE=all.txt\n"
      "DESTINATION=list.htm\n");
  EXPECT_TRUE(submit("Ann", "3"));
  EXPECT_TRUE(submit("Bob", "4"));
  EXPECT_TRUE(submit("Cy", "5"));
  EXPECT_EQ("<LI>Ann (3)\n<LI>Bob (4)\n<LI>Cy (5)\n",
            dir_.read("forms/all.txt"));
  EXPECT_EQ(
      "<HTML><BODY>%NAME%\n<UL>\n<LI>Ann (3)\n<LI>Bob (4)\n<LI>Cy "
      "(5)\n</UL>\n</BODY></HTML>\n",
      dir_.read("forms/list.htm"));
  EXPECT_EQ("", log());
}

TEST_F(TextExportTest, AbsoluteAndBackslashPathsAreUsedAsWritten) {
  // A composed template path with backslashes reaches its files through the
  // path map.
  run_.templates.textfile_template = dir_.path() + "\\FORMS\\Orders.ini";
  write_template("DETAIL=ORDER.TXT\nDESTINATION=" + dir_.file("abs.csv") +
                 "\n");
  EXPECT_TRUE(submit("Ann", "3"));
  EXPECT_EQ("Ann,3\n", dir_.read("abs.csv"));

  write_template("DETAIL=order.txt\nDESTINATION=" + dir_.path() +
                 "\\Forms\\back.csv\n");
  EXPECT_TRUE(submit("Bob", "4"));
  EXPECT_EQ("Bob,4\n", dir_.read("forms/back.csv"));
}

TEST_F(TextExportTest, MissingFooterLeavesHeaderAndRecordsAndNamesTheFooter) {
  write_template(
      "HEADER=head.htm\nDETAIL=item.htm\nFOOTER=gone.htm\nWORKFILE=all.txt\n"
      "DESTINATION=list.htm\n");
  EXPECT_FALSE(submit("Ann", "3"));
  EXPECT_EQ("<HTML><BODY>%NAME%\n<UL>\n<LI>Ann (3)\n",
            dir_.read("forms/list.htm"));
  EXPECT_EQ("VLTXT: Could not open \"" + dir_.file("forms/gone.htm") +
                "\" for Text processing as (FOOTER)\n",
            log());
}

TEST_F(TextExportTest, HeaderThatIsADirectoryIsReportedAsUnopened) {
  write_template(
      "HEADER=out\nDETAIL=item.htm\nWORKFILE=all.txt\nDESTINATION=list.htm\n");
  dir_.write("forms/out/keep", "");
  EXPECT_FALSE(submit("Ann", "3"));
  EXPECT_EQ("<LI>Ann (3)\n", dir_.read("forms/list.htm"));
  EXPECT_EQ("VLTXT: Could not open \"" + dir_.file("forms/out") +
                "\" for Text processing as (HEADER)\n",
            log());
}

TEST_F(TextExportTest, UnopenedFilesAreLoggedDetailFirstAndNothingIsWritten) {
  write_template("DESTINATION=orders.csv\n");
  EXPECT_FALSE(submit("Ann", "3"));
  EXPECT_EQ("", dir_.read("forms/orders.csv"));

  write_template("DETAIL=none.txt\nDESTINATION=missing/orders.csv\n");
  EXPECT_FALSE(submit("Ann", "3"));

  write_template(
      "DETAIL=order.txt\nWORKFILE=missing/all.txt\nDESTINATION=list.htm\n");
  EXPECT_FALSE(submit("Ann", "3"));
  EXPECT_FALSE(dir_.exists("forms/list.htm"));

  write_template("DETAIL=order.txt\nDESTINATION=out\n");
  dir_.write("forms/out/keep", "");
  EXPECT_FALSE(submit("Ann", "3"));

  const std::string prefix = "VLTXT: Could not open WorkFile Template File: ";
  EXPECT_EQ(prefix + "\n" +                                              //
                prefix + dir_.file("forms/none.txt") + "\n" +            //
                prefix + dir_.file("forms/missing/orders.csv") + "\n" +  //
                prefix + dir_.file("forms/missing/all.txt") + "\n" +     //
                prefix + dir_.file("forms/out") + "\n",
            log());
}

TEST_F(TextExportTest,
       UnwritableDestinationInWorkFileModeKeepsTheRecordSilently) {
  write_template(
      "DETAIL=order.txt\nWORKFILE=all.txt\nDESTINATION=missing/list.htm\n");
  EXPECT_TRUE(submit("Ann", "3"));
  EXPECT_EQ("Ann,3\n", dir_.read("forms/all.txt"));
  EXPECT_EQ("", log());
}

TEST_F(TextExportTest, TemplateThatCannotBeOpened) {
  run_.templates.textfile_template = dir_.file("forms/none.ini");
  EXPECT_FALSE(export_text_file(run_));
  run_.templates.textfile_template = "";
  EXPECT_FALSE(export_text_file(run_));
  run_.templates.textfile_template = dir_.file("forms");
  EXPECT_FALSE(export_text_file(run_));
  EXPECT_EQ(
      "Could not open Textfile Template File: " + dir_.file("forms/none.ini") +
          "\nCould not open Textfile Template File: \n"
          "Could not open Textfile Template File: " +
          dir_.file("forms") + "\n",
      log());
}

TEST_F(TextExportTest, BlankTemplateFieldDoesNothing) {
  run_.request.set_field("TEMPLATE_TEXTFILE", "");
  run_.templates.textfile_template = dir_.file("forms/none.ini");
  EXPECT_TRUE(export_text_file(run_));
  EXPECT_FALSE(dir_.exists("velloc.log"));
}

// A name far longer than a stream buffer, so that an unlocked append would
// reach the file in several writes.
std::string writer_name(int writer) {
  return "w" + std::to_string(writer) +
         std::string(60000, static_cast<char>('a' + writer));
}

// Concurrent exports lock each other out (the lock is per open file, so threads
// of one process contend as separate runs do): no record is split, lost or
// missing from the rebuilt destination.
TEST_F(TextExportTest, ConcurrentExportsNeitherLoseNorGarbleRecords) {
  constexpr int kWriters = 8;
  constexpr int kRecordsEach = 10;
  write_template(
      "HEADER=head.htm\nDETAIL=order.txt\nFOOTER=foot.htm\nWORKFILE=all.txt\n"
      "DESTINATION=list.htm\n");
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([this, w] {
      std::ostringstream response;
      ::Run run(response);
      run.message = run_.message;
      run.templates = run_.templates;
      run.request.set_field("TEMPLATE_TEXTFILE", "orders.ini");
      for (int i = 0; i < kRecordsEach; ++i) {
        run.request.set_field("NAME", writer_name(w));
        run.request.set_field("QTY", std::to_string(i));
        export_text_file(run);
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  std::string records = dir_.read("forms/all.txt");
  EXPECT_EQ(static_cast<std::ptrdiff_t>(kWriters * kRecordsEach),
            std::count(records.begin(), records.end(), '\n'));
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kRecordsEach; ++i) {
      std::string record = writer_name(w) + "," + std::to_string(i) + "\n";
      EXPECT_NE(std::string::npos, records.find(record))
          << "w" << w << "," << i;
    }
  }
  EXPECT_TRUE(dir_.read("forms/list.htm") == dir_.read("forms/head.htm") +
                                                 records +
                                                 dir_.read("forms/foot.htm"));
  EXPECT_EQ("", log());
}

TEST(CopyTextFileTest, CopiesLongLinesAndLineEndsUnchanged) {
  TempDir dir;
  std::string content = std::string(4000, 'a') + "\r\n%X%\n\nlast";
  dir.write("head.htm", content);
  MailMessage context;
  std::ostringstream out;
  EXPECT_TRUE(copy_text_file(context, "HEADER", dir.file("head.htm"), out));
  EXPECT_EQ(content, out.str());
}

}  // namespace
