#include "velloc/templates/template_engine.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <sstream>
#include <string>
#include <string_view>

#include "tests/support/cgi_runner.h"

namespace {

using Lines = std::vector<std::string>;

TEST(ReadTemplateLine, ThreeLineEndsAndOverlongLinesSplitWithoutLoss) {
  const std::string exact(kMaxTemplateLine, 'x'), binary("a\0b\xff\x80", 5);
  // clang-format off
  std::pair<std::string, Lines> cases[] = {
      {"a\nb\r\nc\rd", {"a", "b", "c", "d"}}, {"a\r\rb\n", {"a", "", "b"}}, {"\r\n\n", {"", ""}},
      {"", {}}, {binary + "\r\n", {binary}}, {exact + "\ny", {exact, "y"}},
      {exact + "z\n", {exact, "z"}}, {exact + exact + "w", {exact, exact, "w"}}};
  // clang-format on
  for (const auto& [text, expected] : cases) {
    std::istringstream input(text);
    Lines lines;
    for (std::string line; read_template_line(input, line);) lines.push_back(line);
    EXPECT_EQ(expected, lines) << text.substr(0, 40);
  }
}

class TemplateEngineTest : public ::testing::Test {
 protected:
  TemplateEngineTest() {
    request_.set_field("NAME", "Ann <b>");
    request_.set_field("QTY", "3");
    request_.set_field("EMPTY", "");
    request_.environment.set("REMOTE_ADDR", "127.0.0.1");
  }

  std::string expand(const std::string& text, ValueEscape escape = ValueEscape::kNone) {
    std::istringstream input(text);
    std::ostringstream output;
    EXPECT_TRUE(expand_template(input, output, request_, state_, escape));
    return output.str();
  }

  CgiRequest request_;
  TemplateState state_;
};

TEST_F(TemplateEngineTest, DirectivesBlocksAndLineEnds) {
  const std::string open(300, '{');
  // clang-format off
  std::pair<std::string, std::string> cases[] = {
      // Text, escapes and comments; every line ends with a line feed.
      {"one\r\ntwo\r\rthree", "one\ntwo\n\nthree\n"}, {"", ""},
      {std::string("\0\x01\xfe", 3), std::string("\0\x01\xfe\n", 4)},
      {"\\{50\\%\\} a\\\\b \\;", "{50%} a\\b ;\n"}, {"\\^\\*\\[\\#\\+", "^*[#+\n"},
      {"end\\", "end\n"}, {"kept; %NAME% gone\nnext", "kept\nnext\n"}, {";whole line", "\n"},
      // References write values unescaped; unterminated directives write their argument.
      {"Hi %name%, %Qty%!", "Hi Ann <b>, 3!\n"}, {"(%ABSENT%)(%EMPTY%)", "()()\n"},
      {"100%% sure", "100 sure\n"}, {"x=%NAME", "x=Ann <b>\n"},
      {"from ^remote_addr^.", "from 127.0.0.1.\n"}, {"<^NOPE^>", "<>\n"},
      {"a ^ REMOTE_ADDR", "a  REMOTE_ADDR\n"}, {"a [NAME = x", "a NAME = x\n"},
      {"total #5 = 1", "total 5 = 1\n"}, {"b +file.inc", "b file.inc\n"}, {"1+1=2", "11=2\n"},
      {"a++b", "ab\n"},
      // A condition governs the next block at its depth; the state at the end of a line decides
      // its line end; empty lines are copied even when hidden; stray braces are dropped.
      {"<[NAME]{yes}[ABSENT]{no}>", "<yes>\n"}, {"[QTY > 2]{big}[QTY <= 2]{small}", "big\n"},
      {"[QTY]\nx", "\nx\n"}, {"a[ABSENT]\n{\nhidden\n}b", "a\nb\n"},
      {"[ABSENT]{hidden\nstill hidden\n}shown", "shown\n"},
      {"[NAME]open{\ninside", "open\ninside\n"}, {"[ABSENT]{\n\n}", "\n\n"},
      {"{a[ABSENT]{x}}{b}", "ab\n"}, {"[NAME]{1}{2}[ABSENT]{3}{4}", "12\n"},
      {"[ABSENT]{x}{y}", "\n"},
      {"<[NAME]{a[QTY=3]{b}[QTY=4]{c}}>", "<ab>\n"}, {"<[ABSENT]{a[QTY=3]{b}}>", "<>\n"},
      {"}}a}b", "ab\n"}, {"{{{a{b", "ab\n"},
      // Hidden blocks evaluate nothing but count braces, escaped or not, however deep.
      {"[ABSENT]{#NEW = 1# [NAME]{ deep } %NAME% \\}}after%NEW%", "after\n"},
      {open + "[ABSENT]{" + open + "x" + std::string(601, '}') + "y", "y\n"},
      {std::string(255, '{') + "([NAME]{ok}[ABSENT]{no})" + std::string(255, '}'), "(ok)\n"},
      // Arithmetic stores a formatted value that later text and conditions see.
      {"=#total = qty 2.5#%TOTAL%", "=7.50\n"},
      {"#SUM = QTY 40#[SUM >= 100]{free shipping}[SUM < 100]{pay}", "free shipping\n"}};
  // clang-format on
  for (const auto& [text, expected] : cases) EXPECT_EQ(expected, expand(text)) << text;
}

TEST_F(TemplateEngineTest, AttachmentDirective) {
  struct {
    const char *text, *output, *pending;
  } cases[] = {{"Files: *c:\\files\\a.pdf*.", "Files: .\n", "c:\\files\\a.pdf"},
               {"*first*\n*second*", "\n\n", "second"},
               {"*first***", "\n", ""},
               {"see */tmp/x.txt", "see /tmp/x.txt\n", "/tmp/x.txt"},
               {"[ABSENT]{*hidden*}", "\n", ""},
               {"text", "text\n", ""}};  // every expansion clears what an earlier one left
  for (const auto& c : cases) {
    EXPECT_EQ(c.output, expand(c.text)) << c.text;
    EXPECT_EQ(c.pending, state_.pending_attachment) << c.text;
  }
}

TEST_F(TemplateEngineTest, HugeNestingAndLinesAreExpandedWithoutOverruns) {
  const std::string open(100000, '{'), close(100000, '}');
  std::string output = expand("a" + open + "[ABSENT]{" + open + "b" + close + "}" + close + "c");
  std::erase(output, '\n');
  EXPECT_EQ("ac", output);

  const std::string line(3'000'000, 'x');
  output = expand(line);
  EXPECT_EQ(line.size() + line.size() / kMaxTemplateLine, output.size());
  EXPECT_EQ(std::string(kMaxTemplateLine, 'x') + "\nx", output.substr(0, 8002));
}

// Includes open files named relative to the working directory, so these name the files of a
// scratch directory by absolute path.
class TemplateIncludeTest : public TemplateEngineTest {
 protected:
  // Built with append: gcc 12 at -O3 misreports "literal" + std::string as overlapping.
  static std::string wrap(const std::string& path) {
    return std::string("+").append(path).append("+");
  }
  static std::string joined(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts) text.append(part);
    return text;
  }
  std::string include(const std::string& name) { return wrap(dir_.file(name)); }
  testing_support::TempDir dir_;
};

TEST_F(TemplateIncludeTest, IncludedTemplatesAreExpandedInPlaceWithTheirOwnBlocks) {
  dir_.write("part.inc", "[NAME]{<%NAME%>\n");
  dir_.write("open.inc", "[ABSENT]{hidden");
  dir_.write("%NAME%.inc", "literal");
  dir_.write("Parts/Footer.inc", "footer");
  EXPECT_EQ("a <Ann <b>>\n b\n", expand(joined({"a ", include("part.inc"), " b"})));
  EXPECT_EQ("visible\n", expand(include("open.inc") + "visible"));
  EXPECT_EQ("literal\n\n", expand(include("%NAME%.inc")));
  EXPECT_EQ("footer\n\n", expand(wrap(dir_.path() + "\\PARTS\\footer.INC")));
  const std::string kFailed = "\nCould not include template.\n";
  EXPECT_EQ("a" + kFailed + "b\n", expand(joined({"a", include("none.inc"), "b"})));
  EXPECT_EQ(kFailed + "\n", expand(wrap(dir_.path())));
}

TEST_F(TemplateIncludeTest, IncludeSharesFieldsAndPendingAttachment) {
  dir_.write("calc.inc", "#INCLUDED = 4#*from-include*");
  dir_.write("plain.inc", "plain");
  expand(include("calc.inc"));
  EXPECT_EQ("4.00", request_.get_field("INCLUDED"));
  EXPECT_EQ("from-include", state_.pending_attachment);
  expand(joined({"*mine*", include("plain.inc")}));
  EXPECT_EQ("", state_.pending_attachment);
}

TEST_F(TemplateIncludeTest, EscapeCoversFieldAndEnvironmentValuesOfIncludesButNotTemplateText) {
  dir_.write("part.inc", "<i>%NAME%</i>^REMOTE_ADDR^");
  EXPECT_EQ("<b>Ann &lt;b&gt;</b><i>Ann &lt;b&gt;</i>127.0.0.1\n\n",
            expand("<b>%NAME%</b>" + include("part.inc"), ValueEscape::kHtml));
  EXPECT_EQ("\"Ann <b>\",\"\",\"\",,\"127.0.0.1\",x=\"3\"\n",
            expand("%NAME%,%ABSENT%,%EMPTY%,%%,^REMOTE_ADDR^,x=%QTY", ValueEscape::kCsv));
}

TEST_F(TemplateIncludeTest, NestingLimitIsRunWide) {
  dir_.write("self.inc", joined({"L", include("self.inc")}));
  // The outer template is level 1, so nine levels of self.inc are expanded.
  const std::string kLimit = "\nInclude Nesting Limit Exceeded.\n";
  EXPECT_EQ(std::string(9, 'L') + kLimit + std::string(10, '\n'), expand(include("self.inc")));
  EXPECT_EQ(0, state_.include_depth);
  state_.include_depth = 9;
  EXPECT_EQ(kLimit + "\n", expand(include("self.inc")));
  EXPECT_EQ(9, state_.include_depth);
}

}  // namespace
