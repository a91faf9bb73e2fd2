#include "util/text.h"

#include <gtest/gtest.h>

#include <string>

namespace tarn {
namespace {

using namespace std::string_literals;

const std::string fffd = "\xEF\xBF\xBD";

TEST(DecodeLossy, KeepsValidTextOfEveryLength) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBDz";
  EXPECT_EQ(decode_lossy(text), text);
  EXPECT_EQ(decode_lossy(""), "");
  EXPECT_EQ(decode_lossy("nul\0inside"s), "nul\0inside"s);
}

TEST(DecodeLossy, ReplacesEachMaximalInvalidSubsequenceOnce) {
  // Truncated sequences: the lead and its valid continuations form one unit.
  EXPECT_EQ(decode_lossy("\xE2\x82"), fffd);
  EXPECT_EQ(decode_lossy("\xF0\x9F\x98"), fffd);
  EXPECT_EQ(decode_lossy("a\xF0\x9F\x98z"), "a" + fffd + "z");
  // Lone continuation bytes and impossible bytes: one replacement per byte.
  EXPECT_EQ(decode_lossy("\x80\xBF"), fffd + fffd);
  EXPECT_EQ(decode_lossy("\xC0\xAF"), fffd + fffd);
  EXPECT_EQ(decode_lossy("\xFF\xFE"), fffd + fffd);
  // A lead interrupted by another lead: the second starts afresh.
  EXPECT_EQ(decode_lossy("\xE2\xC3\xA9"), fffd + "\xC3\xA9");
  EXPECT_EQ(decode_lossy("\xE2\x82"
                         "a"),
            fffd + "a");
}

TEST(DecodeLossy, RejectsOverlongsSurrogatesAndBeyondUnicode) {
  // The second byte is out of range, so the lead stands alone.
  EXPECT_EQ(decode_lossy("\xE0\x80\x80"), fffd + fffd + fffd);
  EXPECT_EQ(decode_lossy("\xED\xA0\x80"), fffd + fffd + fffd);
  EXPECT_EQ(decode_lossy("\xF0\x80\x80\x80"), fffd + fffd + fffd + fffd);
  EXPECT_EQ(decode_lossy("\xF4\x90\x80\x80"), fffd + fffd + fffd + fffd);
  EXPECT_EQ(decode_lossy("\xF5\x80"), fffd + fffd);
  // The boundaries themselves are valid.
  EXPECT_EQ(decode_lossy("\xED\x9F\xBF"), "\xED\x9F\xBF");
  EXPECT_EQ(decode_lossy("\xF4\x8F\xBF\xBF"), "\xF4\x8F\xBF\xBF");
}

TEST(TrimWhitespace, StripsUnicodeWhiteSpaceAtBothEnds) {
  EXPECT_EQ(trim_whitespace(" \t\r\n\v\fabc \r\n"), "abc");
  EXPECT_EQ(trim_whitespace("\xC2\x85\xC2\xA0x\xE1\x9A\x80"), "x");
  EXPECT_EQ(trim_whitespace("\xE2\x80\x80\xE2\x80\x8Ax\xE2\x80\xA8\xE2\x80\xA9"), "x");
  EXPECT_EQ(trim_whitespace("\xE2\x80\xAFx\xE2\x81\x9F\xE3\x80\x80"), "x");
  EXPECT_EQ(trim_whitespace(" a b "), "a b");
  EXPECT_EQ(trim_whitespace(" \n "), "");
  EXPECT_EQ(trim_whitespace(""), "");
}

TEST(TrimWhitespace, KeepsCharactersOutsideWhiteSpace) {
  // Zero width space, BOM, U+200B and U+180E are not White_Space.
  EXPECT_EQ(trim_whitespace("\xE2\x80\x8Bx\xEF\xBB\xBF"), "\xE2\x80\x8Bx\xEF\xBB\xBF");
  EXPECT_EQ(trim_whitespace("\xE1\xA0\x8Ex"), "\xE1\xA0\x8Ex");
  // A U+2000 lookalike that ends in an invalid place is left alone.
  EXPECT_EQ(trim_whitespace("x\x80\x80"), "x\x80\x80");
  EXPECT_EQ(trim_whitespace("\xE2\x80 x"), "\xE2\x80 x");
}

TEST(DisplayPath, ShowsRelativePathsAsTypedAndDecodesOddBytes) {
  EXPECT_EQ(display_path("./target/tarn/dbt_plan.json"), "./target/tarn/dbt_plan.json");
  EXPECT_EQ(display_path("a/b/../c"), "a/b/../c");
  EXPECT_EQ(display_path(std::filesystem::path("bad\xFFname")), "bad" + fffd + "name");
}

TEST(QuotedValue, EscapesQuotesBackslashesAndControlCharacters) {
  EXPECT_EQ(quoted_value("2024-13-01"), R"("2024-13-01")");
  EXPECT_EQ(quoted_value(""), R"("")");
  EXPECT_EQ(quoted_value(R"(say "hi" \ bye)"), R"("say \"hi\" \\ bye")");
  EXPECT_EQ(quoted_value("a\nb\tc\rd\0e"s), R"("a\nb\tc\rd\0e")");
  EXPECT_EQ(quoted_value("\x1b[31m\x7f\x01"), R"("\u{1b}[31m\u{7f}\u{1}")");
  // C1 controls are escaped too; other non-ASCII text is not.
  EXPECT_EQ(quoted_value("\xC2\x85\xC2\x9F"), R"("\u{85}\u{9f}")");
  EXPECT_EQ(quoted_value("caf\xC3\xA9 \xE2\x80\xA8 \xF0\x9F\x98\x80 '"),
            "\"caf\xC3\xA9 \xE2\x80\xA8 \xF0\x9F\x98\x80 '\"");
}

TEST(QuotedValue, SurvivesInvalidBytes) {
  EXPECT_EQ(quoted_value("a\xFF\xC3"), "\"a" + fffd + fffd + "\"");
}

}  // namespace
}  // namespace tarn
