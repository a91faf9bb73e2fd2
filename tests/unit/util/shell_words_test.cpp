#include "util/shell_words.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarn {
namespace {

using Words = std::vector<std::string>;

Words split(std::string_view text) {
  auto words = split_shell_words(text);
  EXPECT_TRUE(words.has_value()) << "failed on: " << text;
  return words.value_or(Words{});
}

TEST(SplitShellWords, BlanksSeparateWords) {
  EXPECT_EQ(split("--target ci"), (Words{"--target", "ci"}));
  EXPECT_EQ(split("  a\t\tb\n\nc  "), (Words{"a", "b", "c"}));
  EXPECT_EQ(split(""), Words{});
  EXPECT_EQ(split(" \t\n"), Words{});
  // A carriage return is not a blank.
  EXPECT_EQ(split("a\rb"), (Words{"a\rb"}));
}

TEST(SplitShellWords, SingleQuotesKeepEverything) {
  EXPECT_EQ(split(R"('a b' 'c\d' '"')"), (Words{"a b", R"(c\d)", "\""}));
  EXPECT_EQ(split("'multi\nline'"), (Words{"multi\nline"}));
  EXPECT_EQ(split("'#not comment'"), (Words{"#not comment"}));
}

TEST(SplitShellWords, DoubleQuotesEscapeOnlyTheirSpecialCharacters) {
  EXPECT_EQ(split(R"("a \"b\" \\ \$ \` c")"), (Words{R"(a "b" \ $ ` c)"}));
  EXPECT_EQ(split(R"("\n\a\'")"), (Words{R"(\n\a\')"}));
  EXPECT_EQ(split("\"one\\\ntwo\""), (Words{"onetwo"}));
  EXPECT_EQ(split(R"("$HOME" "`pwd`" "*")"), (Words{"$HOME", "`pwd`", "*"}));
}

TEST(SplitShellWords, BackslashOutsideQuotesEscapesTheNextCharacter) {
  EXPECT_EQ(split(R"(a\ b \'c \"d \\e \#f)"), (Words{"a b", "'c", "\"d", R"(\e)", "#f"}));
  EXPECT_EQ(split("one\\\ntwo"), (Words{"onetwo"}));
  EXPECT_EQ(split("one \\\n two"), (Words{"one", "two"}));
}

TEST(SplitShellWords, QuotesJoinAdjacentPartsAndMayBeEmpty) {
  EXPECT_EQ(split(R"(a'b c'"d e"f)"), (Words{"ab cd ef"}));
  EXPECT_EQ(split(R"('' "" x'')"), (Words{"", "", "x"}));
  EXPECT_EQ(split(R"(--select "tag:nightly orders+")"), (Words{"--select", "tag:nightly orders+"}));
}

TEST(SplitShellWords, HashStartsACommentOnlyAtTheStartOfAWord) {
  EXPECT_EQ(split("a #b c\nd"), (Words{"a", "d"}));
  EXPECT_EQ(split("#all gone"), Words{});
  EXPECT_EQ(split("a#b ''#c"), (Words{"a#b", "#c"}));
  EXPECT_EQ(split("a\\\n#b"), (Words{"a#b"}));
}

TEST(SplitShellWords, NoExpansionOfAnyKind) {
  EXPECT_EQ(split("$HOME ~ *.sql {a,b} $(x) a;b a|b"),
            (Words{"$HOME", "~", "*.sql", "{a,b}", "$(x)", "a;b", "a|b"}));
}

TEST(SplitShellWords, NonAsciiPassesThrough) {
  EXPECT_EQ(split("caf\xC3\xA9 '\xE2\x82\xAC x'"), (Words{"caf\xC3\xA9", "\xE2\x82\xAC x"}));
}

TEST(SplitShellWords, UnterminatedQuoteOrTrailingBackslashFails) {
  for (const std::string_view text :
       {"'open", "\"open", "a 'b", "\"a\\\"", "trailing\\", "\\", "\"ends in\\"}) {
    const auto words = split_shell_words(text);
    ASSERT_FALSE(words.has_value()) << text;
    EXPECT_EQ(words.error(), "missing closing quote") << text;
  }
}

TEST(SplitShellWords, AQuoteInsideACommentIsIgnored) {
  EXPECT_EQ(split("a # it's fine"), (Words{"a"}));
}

struct QuotingCase {
  const char* name;
  std::string word;
};

class QuoteShellWord : public ::testing::TestWithParam<QuotingCase> {};

TEST_P(QuoteShellWord, ReadsBackAsTheSameSingleWord) {
  const std::string& word = GetParam().word;
  EXPECT_EQ(split(quote_shell_word(word)), Words{word}) << quote_shell_word(word);
}

INSTANTIATE_TEST_SUITE_P(Words, QuoteShellWord,
                         ::testing::Values(QuotingCase{"Empty", ""}, QuotingCase{"Blank", "a b"},
                                           QuotingCase{"SingleQuotes", "o'brien''s"},
                                           QuotingCase{"ExpansionsAndGlobs",
                                                       "$HOME `pwd` $(id) * ? [a]"},
                                           QuotingCase{"CommentAndTilde", "#x ~root"},
                                           QuotingCase{"LeadingAssignment", "A=1"},
                                           QuotingCase{"ControlAndUtf8", "line\nbreak\t\xc3\xa9"},
                                           QuotingCase{"Backslashes", R"(a\b\)"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(QuoteShellWord, LeavesPlainWordsBare) {
  EXPECT_EQ(quote_shell_word("dim_customers.v2"), "dim_customers.v2");
  EXPECT_EQ(quote_shell_word("--event-time-end"), "--event-time-end");
  EXPECT_EQ(quote_shell_word("it's"), R"('it'\''s')");
}

}  // namespace
}  // namespace tarn
