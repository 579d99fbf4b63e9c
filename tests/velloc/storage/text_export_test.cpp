#include "velloc/storage/text_export.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/cgi_runner.h"
#include "tests/support/log_text.h"
#include "velloc/process_facts.h"
#include "velloc/run.h"

namespace {

using testing_support::TempDir;

TEST(ResolveRelativePathTest, PutsTheTemplateDirectoryInFrontOfPlainNames) {
  const std::string templ = ".\\FORMS\\TEMPLATES\\orders.ini";
  struct Case {
    std::string name, template_path, expected;
  };
  const Case cases[] = {
      {"", templ, ""},
      {"orders.csv", templ, ".\\FORMS\\TEMPLATES\\orders.csv"},
      {"out/orders.csv", templ, ".\\FORMS\\TEMPLATES\\out/orders.csv"},
      {"D:\\data\\orders.csv", templ, "D:\\data\\orders.csv"},
      {"data\\orders.csv", templ, "data\\orders.csv"},
      {"/srv/data/orders.csv", templ, "/srv/data/orders.csv"},
      {"out/x.csv", "/srv/forms/t.ini", "/srv/forms/out/x.csv"},
      {"x.csv", "t.ini", "x.csv"},
      {"b.csv", "a\\sub/t.ini", "a\\b.csv"},  // the last backslash counts, not the slash
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.expected, resolve_relative_path(c.name, c.template_path)) << c.name;
}

class TextExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    run_.message.log_file = dir_.file("velloc.log");
    run_.message.log_level = 15;
    run_.request.set_field("TEMPLATE_TEXTFILE", "orders.ini");
    run_.templates.textfile_template = dir_.file("forms/orders.ini");
    dir_.write("forms/order.txt", "%NAME%,%QTY%\n");
    dir_.write("forms/head.htm",
               std::string("<HTML><BODY>%NAME%\r\n").append(4000, 'a').append("\n<UL>\n"));
    dir_.write("forms/foot.htm", "</UL>\n</BODY></HTML>\n");
    dir_.write("forms/item.htm", "<LI>%NAME% (%QTY%)\n");
    dir_.write("forms/out/keep", "");
  }
  void write_template(const std::string& keys) {
    dir_.write("forms/orders.ini", "[TEMPLATES]\n" + keys);
    site_.begin_request();
  }
  bool submit(const std::string& name, const std::string& quantity) {
    run_.request.set_field("NAME", name);
    run_.request.set_field("QTY", quantity);
    return export_text_file(run_);
  }
  std::string log() { return testing_support::logged_messages(dir_.file("velloc.log")); }

  TempDir dir_;
  std::ostringstream response_;
  Site site_{read_process_facts()};
  ::Run run_{site_};
};

TEST_F(TextExportTest, DirectModeAppendsOneRecordPerSubmissionAndIgnoresHeaderAndFooter) {
  write_template("HEADER=head.htm\nDETAIL=order.txt\nFOOTER=foot.htm\nDESTINATION=out/o.csv\n");
  dir_.write("forms/out/o.csv", "Name,Qty\n");
  EXPECT_TRUE(submit("Ann", "3"));
  EXPECT_TRUE(submit("Bob", "4"));
  EXPECT_EQ("Name,Qty\nAnn,3\nBob,4\n", dir_.read("forms/out/o.csv"));
  EXPECT_EQ("", log());
  EXPECT_EQ("", response_.str());
}

TEST_F(TextExportTest, EscapeKeyQuotesRecordValuesForCsvOrHtml) {
  write_template("DETAIL=order.txt\nDESTINATION=out/o.csv\nESCAPE=csv\n");
  EXPECT_TRUE(submit("=cmd|' /C calc'!A0", "3"));
  EXPECT_TRUE(submit("Ann \"A\", Bee", ""));
  EXPECT_EQ("\"'=cmd|' /C calc'!A0\",\"3\"\n\"Ann \"\"A\"\", Bee\",\"\"\n",
            dir_.read("forms/out/o.csv"));
  write_template("DETAIL=item.htm\nDESTINATION=out/list.htm\nESCAPE=HTML\n");
  EXPECT_TRUE(submit("<script>", "1&2"));
  EXPECT_EQ("<LI>&lt;script&gt; (1&amp;2)\n", dir_.read("forms/out/list.htm"));
}

TEST_F(TextExportTest, WorkFileModeRebuildsTheDestinationAroundAllRecords) {
  write_template(
      "HEADER=head.htm\nDETAIL=item.htm\nFOOTER=foot.htm\nWORKFILE=all.txt\n"
      "DESTINATION=list.htm\n");
  EXPECT_TRUE(submit("Ann", "3"));
  EXPECT_TRUE(submit("Bob", "4"));
  EXPECT_EQ("<LI>Ann (3)\n<LI>Bob (4)\n", dir_.read("forms/all.txt"));
  // Header and footer are copied unchanged.
  EXPECT_EQ(dir_.read("forms/head.htm") + "<LI>Ann (3)\n<LI>Bob (4)\n</UL>\n</BODY></HTML>\n",
            dir_.read("forms/list.htm"));
  EXPECT_EQ("", log());
}

TEST_F(TextExportTest, UploadFolderKeepsNewCopiesAndNeverFollowsALink) {
  write_template("DETAIL=saved.txt\nDESTINATION=out/o.csv\nUPLOAD_FOLDER=up\n");
  dir_.write("forms/saved.txt", "%CV_SAVED%|%PHOTO_SAVED%\n");
  dir_.write("cv.tmp", "cv bytes");
  dir_.write("photo.tmp", "photo bytes");
  dir_.write("forms/up/7-1-cv.pdf", "older");
  std::filesystem::create_symlink(dir_.file("victim"), dir_.file("forms/up/7-3-cv.pdf"));
  run_.request.set_field("RECEIPT_NUMBER", "7");
  run_.request.uploads = {{"cv", "cv.pdf", dir_.file("cv.tmp"), 8, "cv b"},
                          {"Photo", "me.png", dir_.file("photo.tmp"), 11, "phot"}};
  EXPECT_TRUE(submit("Ann", "1"));
  std::string folder = dir_.file("forms/up/");
  EXPECT_EQ(folder + "7-5-cv.pdf|" + folder + "7-2-me.png\n", dir_.read("forms/out/o.csv"));
  EXPECT_EQ("older", dir_.read("forms/up/7-1-cv.pdf"));
  EXPECT_EQ("cv bytes", dir_.read("forms/up/7-5-cv.pdf"));
  EXPECT_EQ("photo bytes", dir_.read("forms/up/7-2-me.png"));
  EXPECT_FALSE(dir_.exists("victim"));
  EXPECT_EQ("", log());
}

TEST_F(TextExportTest, BackslashPathsReachTheirFilesThroughThePathMap) {
  run_.templates.textfile_template = dir_.path() + "\\FORMS\\Orders.ini";
  write_template("DETAIL=ORDER.TXT\nDESTINATION=" + dir_.path() + "\\Forms\\back.csv\n");
  EXPECT_TRUE(submit("Bob", "4"));
  EXPECT_EQ("Bob,4\n", dir_.read("forms/back.csv"));
}

TEST_F(TextExportTest, FilesThatCannotBeOpenedAreLoggedByTheirRole) {
  const std::string unopened = "VLTXT: Could not open WorkFile Template File: ";
  struct Case {
    std::string keys;
    bool result;
    std::string logged;
    std::string destination;  // the content of forms/list.htm afterwards
  };
  const std::string list = "DESTINATION=list.htm\n";
  const Case cases[] = {
      {"HEADER=head.htm\nDETAIL=item.htm\nFOOTER=gone.htm\nWORKFILE=all.txt\n" + list, false,
       "VLTXT: Could not open \"" + dir_.file("forms/gone.htm") +
           "\" for Text processing as (FOOTER)\n",
       dir_.read("forms/head.htm") + "<LI>Ann (3)\n"},
      {"HEADER=out\nDETAIL=item.htm\nWORKFILE=all.txt\n" + list, false,
       "VLTXT: Could not open \"" + dir_.file("forms/out") + "\" for Text processing as (HEADER)\n",
       "<LI>Ann (3)\n"},
      {list, false, unopened + "\n", ""},
      {"DETAIL=none.txt\n" + list, false, unopened + dir_.file("forms/none.txt") + "\n", ""},
      {"DETAIL=order.txt\nWORKFILE=missing/all.txt\n" + list, false,
       unopened + dir_.file("forms/missing/all.txt") + "\n", ""},
      // The record is kept even when the destination cannot be rebuilt.
      {"DETAIL=order.txt\nWORKFILE=all.txt\nDESTINATION=missing/list.htm\n", true, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    std::filesystem::remove(dir_.file("forms/all.txt"));
    std::filesystem::remove(dir_.file("forms/list.htm"));
    std::filesystem::remove(dir_.file("velloc.log"));
    write_template(c.keys);
    EXPECT_EQ(c.result, submit("Ann", "3"));
    EXPECT_EQ(c.logged, log());
    EXPECT_EQ(c.destination, dir_.read("forms/list.htm"));
  }
  EXPECT_EQ("Ann,3\n", dir_.read("forms/all.txt"));
  // Direct mode: a destination that cannot be opened is reported like a detail.
  std::filesystem::remove(dir_.file("velloc.log"));
  for (const char* destination : {"missing/o.csv", "out"}) {
    write_template(std::string("DETAIL=order.txt\nDESTINATION=") + destination + "\n");
    EXPECT_FALSE(submit("Ann", "3"));
  }
  EXPECT_EQ(
      unopened + dir_.file("forms/missing/o.csv") + "\n" + unopened + dir_.file("forms/out") + "\n",
      log());
}

// /dev/full opens but takes no byte, as a full disk does.
TEST_F(TextExportTest, WritesThatFailAreLoggedWithTheFile) {
  const std::string unwritten = "VLTXT: Could not write to \"/dev/full\"\n";
  const std::string cases[] = {
      "DETAIL=order.txt\nDESTINATION=/dev/full\n",
      "DETAIL=order.txt\nWORKFILE=/dev/full\nDESTINATION=list.htm\n",
      "DETAIL=order.txt\nWORKFILE=all.txt\nDESTINATION=/dev/full\n",
  };
  for (const std::string& keys : cases) {
    SCOPED_TRACE(keys);
    std::filesystem::remove(dir_.file("velloc.log"));
    write_template(keys);
    EXPECT_FALSE(submit("Ann", "3"));
    EXPECT_EQ(unwritten, log());
  }
  EXPECT_FALSE(dir_.exists("forms/list.htm"));
  EXPECT_EQ("Ann,3\n", dir_.read("forms/all.txt"));
}

TEST_F(TextExportTest, TemplateThatCannotBeOpened) {
  for (const std::string& path : {dir_.file("forms/none.ini"), std::string(), dir_.file("forms")}) {
    run_.templates.textfile_template = path;
    EXPECT_FALSE(export_text_file(run_));
  }
  EXPECT_EQ("Could not open Textfile Template File: " + dir_.file("forms/none.ini") +
                "\nCould not open Textfile Template File: \n"
                "Could not open Textfile Template File: " +
                dir_.file("forms") + "\n",
            log());
  std::filesystem::remove(dir_.file("velloc.log"));
  run_.request.set_field("TEMPLATE_TEXTFILE", "");  // a blank field asks for no export
  EXPECT_TRUE(export_text_file(run_));
  EXPECT_FALSE(dir_.exists("velloc.log"));
}

// A name far longer than a stream buffer, so that an unlocked append would
// reach the file in several writes.
std::string writer_name(int writer) {
  return std::to_string(writer).append(60000, static_cast<char>('a' + writer));
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
      Site site(read_process_facts());
      ::Run run(site);
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
  EXPECT_EQ(kWriters * kRecordsEach, std::count(records.begin(), records.end(), '\n'));
  for (int w = 0; w < kWriters; ++w)
    for (int i = 0; i < kRecordsEach; ++i)
      EXPECT_NE(std::string::npos, records.find(writer_name(w) + "," + std::to_string(i) + "\n"))
          << "w" << w << "," << i;
  EXPECT_TRUE(dir_.read("forms/list.htm") ==
              dir_.read("forms/head.htm") + records + dir_.read("forms/foot.htm"));
  EXPECT_EQ("", log());
}

}  // namespace
