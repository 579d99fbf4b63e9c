#include "velloc/template_engine.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/cgi_runner.h"

namespace {

class TemplateEngineTest : public ::testing::Test {
 protected:
  TemplateEngineTest() {
    request_.set_field("NAME", "Ann <b>");
    request_.set_field("QTY", "3");
    request_.set_field("EMPTY", "");
    request_.environment.set("REMOTE_ADDR", "127.0.0.1");
  }

  std::string expand(const std::string& text) {
    std::istringstream input(text);
    std::ostringstream output;
    EXPECT_TRUE(expand_template(input, output, request_, state_));
    return output.str();
  }

  CgiRequest request_;
  TemplateState state_;
};

std::vector<std::string> read_lines(const std::string& text) {
  std::istringstream input(text);
  std::vector<std::string> lines;
  std::string line;
  while (read_template_line(input, line)) lines.push_back(line);
  return lines;
}

using Lines = std::vector<std::string>;

TEST(ReadTemplateLineTest, RecognisesTheThreeLineEnds) {
  EXPECT_EQ(Lines({"a", "b", "c", "d"}), read_lines("a\nb\r\nc\rd"));
  EXPECT_EQ(Lines({"a", "", "b"}), read_lines("a\r\rb\n"));
  EXPECT_EQ(Lines({"", ""}), read_lines("\r\n\n"));
  EXPECT_EQ(Lines(), read_lines(""));
}

TEST(ReadTemplateLineTest, SplitsOverlongLinesWithoutLosingCharacters) {
  std::string exact(kMaxTemplateLine, 'x');
  EXPECT_EQ(Lines({exact, "y"}), read_lines(exact + "\ny"));
  EXPECT_EQ(Lines({exact, "z"}), read_lines(exact + "z\n"));
  EXPECT_EQ(Lines({exact, exact, "w"}), read_lines(exact + exact + "w"));
}

TEST(ReadTemplateLineTest, KeepsNulAndBinaryBytes) {
  std::string binary("a\0b\xff\x80", 5);
  EXPECT_EQ(Lines({binary}), read_lines(binary + "\r\n"));
}

TEST_F(TemplateEngineTest, CopiesPlainTextAndEndsEveryLineWithLineFeed) {
  EXPECT_EQ("one\ntwo\n\nthree\n", expand("one\r\ntwo\r\rthree"));
  EXPECT_EQ("", expand(""));
}

TEST_F(TemplateEngineTest, EscapeWritesTheNextCharacter) {
  EXPECT_EQ("{50%} a\\b ;\n", expand("\\{50\\%\\} a\\\\b \\;"));
  EXPECT_EQ("end\n", expand("end\\"));
  EXPECT_EQ("^*[#+\n", expand("\\^\\*\\[\\#\\+"));
}

TEST_F(TemplateEngineTest, CommentDropsTheRestOfTheLine) {
  EXPECT_EQ("kept\nnext\n", expand("kept; %NAME% gone\nnext"));
  EXPECT_EQ("\n", expand(";whole line"));
}

TEST_F(TemplateEngineTest, FieldReferencesWriteValuesUnescaped) {
  EXPECT_EQ("Hi Ann <b>, 3!\n", expand("Hi %name%, %Qty%!"));
  EXPECT_EQ("()()\n", expand("(%ABSENT%)(%EMPTY%)"));
  EXPECT_EQ("100 sure\n", expand("100%% sure"));
  EXPECT_EQ("x=Ann <b>\n", expand("x=%NAME"));
}

TEST_F(TemplateEngineTest, EnvironmentReferences) {
  EXPECT_EQ("from 127.0.0.1.\n", expand("from ^remote_addr^."));
  EXPECT_EQ("<>\n", expand("<^NOPE^>"));
  EXPECT_EQ("a  REMOTE_ADDR\n", expand("a ^ REMOTE_ADDR"));
}

TEST_F(TemplateEngineTest, AttachmentDirectiveSetsPendingAttachment) {
  EXPECT_EQ("Files: .\n", expand("Files: *c:\\files\\a.pdf*."));
  EXPECT_EQ("c:\\files\\a.pdf", state_.pending_attachment);
  expand("*first*\n*second*");
  EXPECT_EQ("second", state_.pending_attachment);
  expand("*first***");
  EXPECT_EQ("", state_.pending_attachment);
}

TEST_F(TemplateEngineTest, UnterminatedAttachmentIsWrittenAndKept) {
  EXPECT_EQ("see /tmp/x.txt\n", expand("see */tmp/x.txt"));
  EXPECT_EQ("/tmp/x.txt", state_.pending_attachment);
}

TEST_F(TemplateEngineTest, EveryExpansionClearsThePendingAttachment) {
  state_.pending_attachment = "left over";
  expand("text");
  EXPECT_EQ("", state_.pending_attachment);
}

TEST_F(TemplateEngineTest, UnterminatedDirectivesWriteTheirArgument) {
  EXPECT_EQ("a NAME = x\n", expand("a [NAME = x"));
  EXPECT_EQ("total 5 = 1\n", expand("total #5 = 1"));
  EXPECT_EQ("b file.inc\n", expand("b +file.inc"));
  EXPECT_EQ("", request_.get_field("5"));
}

TEST_F(TemplateEngineTest, ConditionGovernsTheNextBlock) {
  EXPECT_EQ("<yes>\n", expand("<[NAME]{yes}[ABSENT]{no}>"));
  EXPECT_EQ("big\n", expand("[QTY > 2]{big}[QTY <= 2]{small}"));
  EXPECT_EQ("\nx\n", expand("[QTY]\nx"));
}

TEST_F(TemplateEngineTest, ConditionOnAnEarlierLineGovernsALaterBlock) {
  EXPECT_EQ("a\nb\n", expand("a[ABSENT]\n{\nhidden\n}b"));
}

TEST_F(TemplateEngineTest, LineEndFollowsTheStateAtTheEndOfTheLine) {
  EXPECT_EQ("shown\n", expand("[ABSENT]{hidden\nstill hidden\n}shown"));
  EXPECT_EQ("open\ninside\n", expand("[NAME]open{\ninside"));
}

TEST_F(TemplateEngineTest, EmptyLinesAreCopiedEvenInsideHiddenBlocks) {
  EXPECT_EQ("\n\n", expand("[ABSENT]{\n\n}"));
}

TEST_F(TemplateEngineTest, HiddenBlocksIgnoreDirectivesButCountBraces) {
  EXPECT_EQ("after\n",
            expand("[ABSENT]{#NEW = 1# *att* [NAME]{ deep } \\}}after"));
  EXPECT_EQ("", request_.get_field("NEW"));
  EXPECT_EQ("", state_.pending_attachment);
}

TEST_F(TemplateEngineTest, BlockWithoutConditionFollowsTheEnclosingText) {
  EXPECT_EQ("ab\n", expand("{a[ABSENT]{x}}{b}"));
}

TEST_F(TemplateEngineTest, LaterBlockReusesTheEarlierConditionAtItsDepth) {
  EXPECT_EQ("12\n", expand("[NAME]{1}{2}[ABSENT]{3}{4}"));
}

TEST_F(TemplateEngineTest, NestedConditionsNeedEveryLevelTrue) {
  EXPECT_EQ("<ab>\n", expand("<[NAME]{a[QTY=3]{b}[QTY=4]{c}}>"));
  EXPECT_EQ("<>\n", expand("<[ABSENT]{a[QTY=3]{b}}>"));
}

TEST_F(TemplateEngineTest, UnbalancedBracesAreDropped) {
  EXPECT_EQ("ab\n", expand("}}a}b"));
  EXPECT_EQ("ab\n", expand("{{{a{b"));
}

TEST_F(TemplateEngineTest, DeepNestingKeepsHiddenTextHidden) {
  const int kDepth = 100000;
  std::string open(kDepth, '{');
  std::string close(kDepth, '}');
  std::string output =
      expand("a" + open + "[ABSENT]{" + open + "b" + close + "}" + close + "c");
  std::erase(output, '\n');
  EXPECT_EQ("ac", output);
  std::string hidden_at_300 = std::string(300, '{') + "[ABSENT]{" +
                              std::string(300, '{') + "x" +
                              std::string(601, '}') + "y";
  EXPECT_EQ("y\n", expand(hidden_at_300));
}

TEST_F(TemplateEngineTest, ConditionAt255LevelsStillWorks) {
  std::string open(255, '{');
  std::string close(255, '}');
  EXPECT_EQ("(ok)\n", expand(open + "([NAME]{ok}[ABSENT]{no})" + close));
}

TEST_F(TemplateEngineTest, ArithmeticStoresFormattedValueAndWritesNothing) {
  EXPECT_EQ("=\n", expand("=#total = qty 2.5#"));
  EXPECT_EQ("7.50", request_.get_field("TOTAL"));
  EXPECT_EQ("17.50\n", expand("#Total + 10#%TOTAL%"));
}

TEST_F(TemplateEngineTest, ArithmeticResultIsVisibleToLaterConditions) {
  EXPECT_EQ(
      "free shipping\n",
      expand("#SUM = QTY 40#[SUM >= 100]{free shipping}[SUM < 100]{pay}"));
}

TEST_F(TemplateEngineTest, MegabyteLineIsExpandedInPieces) {
  const std::string line(3'000'000, 'x');
  std::string output = expand(line);
  EXPECT_EQ(line.size() + line.size() / kMaxTemplateLine, output.size());
  EXPECT_EQ(std::string(kMaxTemplateLine, 'x') + "\nx", output.substr(0, 8002));
}

TEST_F(TemplateEngineTest, BinaryAndNulBytesPassThrough) {
  std::string text("\0\x01\xfe", 3);
  EXPECT_EQ(text + "\n", expand(text));
}

// Includes open files named relative to the working directory, so these run
// in a scratch directory and name the files by absolute path.
class TemplateIncludeTest : public TemplateEngineTest {
 protected:
  testing_support::TempDir dir_;
};

TEST_F(TemplateIncludeTest, IncludedTemplateIsExpandedInPlace) {
  dir_.write("part.inc", "[NAME]{<%NAME%>\n");
  EXPECT_EQ("a <Ann <b>>\n b\n", expand("a +" + dir_.file("part.inc") + "+ b"));
}

TEST_F(TemplateIncludeTest, IncludedTemplateHasItsOwnBlockState) {
  dir_.write("open.inc", "[ABSENT]{hidden");
  EXPECT_EQ("visible\n", expand("+" + dir_.file("open.inc") + "+visible"));
}

TEST_F(TemplateIncludeTest, IncludeSharesFieldsAndPendingAttachment) {
  dir_.write("calc.inc", "#INCLUDED = 4#*from-include*");
  expand("+" + dir_.file("calc.inc") + "+");
  EXPECT_EQ("4.00", request_.get_field("INCLUDED"));
  EXPECT_EQ("from-include", state_.pending_attachment);
}

TEST_F(TemplateIncludeTest, AnIncludeClearsTheAttachmentSetBeforeIt) {
  dir_.write("plain.inc", "plain");
  expand("*mine*+" + dir_.file("plain.inc") + "+");
  EXPECT_EQ("", state_.pending_attachment);
}

TEST_F(TemplateIncludeTest, UnreadableIncludesReportInPlace) {
  const std::string kFailed = "\nCould not include template.\n";
  EXPECT_EQ("a" + kFailed + "b\n", expand("a+" + dir_.file("none.inc") + "+b"));
  EXPECT_EQ(kFailed + "\n", expand("+" + dir_.path() + "+"));
  EXPECT_EQ("ab\n", expand("a++b"));
}

TEST_F(TemplateIncludeTest, NameIsUsedAsWrittenWithoutExpansion) {
  dir_.write("%NAME%.inc", "literal");
  EXPECT_EQ("literal\n\n", expand("+" + dir_.file("%NAME%.inc") + "+"));
}

TEST_F(TemplateIncludeTest, BackslashesAndLetterCaseAreMapped) {
  dir_.write("Parts/Footer.inc", "footer");
  EXPECT_EQ("footer\n\n", expand("+" + dir_.path() + "\\PARTS\\footer.INC+"));
}

TEST_F(TemplateIncludeTest, SelfIncludeStopsAtTheNestingLimit) {
  std::string self = dir_.file("self.inc");
  dir_.write("self.inc", "L+" + self + "+");
  // The outer template is level 1, so nine levels of self.inc are expanded.
  std::string expected = std::string(9, 'L') +
                         "\nInclude Nesting Limit Exceeded.\n" +
                         std::string(10, '\n');
  EXPECT_EQ(expected, expand("+" + self + "+"));
  EXPECT_EQ(0, state_.include_depth);
}

TEST_F(TemplateIncludeTest, IncludeDepthIsRunWide) {
  dir_.write("leaf.inc", "leaf");
  state_.include_depth = 9;
  EXPECT_EQ("\nInclude Nesting Limit Exceeded.\n\n",
            expand("+" + dir_.file("leaf.inc") + "+"));
  EXPECT_EQ(9, state_.include_depth);
}

}  // namespace
