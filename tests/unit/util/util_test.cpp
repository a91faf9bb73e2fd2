#include <gtest/gtest.h>

#include "util/shell_words.h"
#include "util/text.h"

namespace tarn {
namespace {

using namespace std::string_literals;
using Words = std::vector<std::string>;

const std::string fffd = "\xEF\xBF\xBD";

TEST(SplitShellWords, FollowsThePosixShellWithoutExpanding) {
  const std::pair<std::string_view, Words> cases[] = {
      {"  a\t\tb\n\nc\rd  ", {"a", "b", "c\rd"}},
      {R"('a b' 'c\d' '"' '#x')", {"a b", R"(c\d)", "\"", "#x"}},
      {R"("a \"b\" \\ \$ \` \n \'")", {R"(a "b" \ $ ` \n \')"}},
      {"\"one\\\ntwo\" one\\\ntwo one \\\n two", {"onetwo", "onetwo", "one", "two"}},
      {R"(a\ b \'c \"d \\e \#f)", {"a b", "'c", "\"d", R"(\e)", "#f"}},
      {R"(a'b c'"d e"f '' "" x'')", {"ab cd ef", "", "", "x"}},
      {"a #b 'c\nd a#b ''#c", {"a", "d", "a#b", "#c"}},
      {"$HOME ~ *.sql $(x) a;b a|b", {"$HOME", "~", "*.sql", "$(x)", "a;b", "a|b"}}};
  for (const auto& [text, words] : cases) {
    EXPECT_EQ(split_shell_words(text), words) << text;
  }
  for (const std::string_view text : {"'open", "\"open", "\"a\\\"", "trailing\\"}) {
    EXPECT_EQ(split_shell_words(text), std::unexpected("missing closing quote"s)) << text;
  }
}

TEST(QuoteShellWord, QuotesOnlyWhatAShellWouldReadOtherwise) {
  EXPECT_EQ(quote_shell_word("dim_customers.v2"), "dim_customers.v2");
  EXPECT_EQ(quote_shell_word("it's"), R"('it'\''s')");
  for (const std::string word : {"", "#x", "~root", "A=1", "a `pwd` *", "$HOME\n\t\xc3\xa9"}) {
    EXPECT_EQ(quote_shell_word(word), "'" + word + "'");
  }
}

TEST(Text, DecodesLossilyTrimsUnicodeWhiteSpaceAndQuotesValuesWithEscapes) {
  // One U+FFFD for each maximal invalid subsequence: a truncated sequence, a
  // byte no sequence starts with, a lead whose next byte is out of its range.
  EXPECT_EQ(decode_lossy("a\0\xF0\x9F\x98z\x80\xC0\xE0\x80\xED\xA0\xED\x9F\xBF\xF4\x8F\xBF\xBF"s),
            "a\0"s + fffd + "z" + fffd + fffd + fffd + fffd + fffd + fffd +
                "\xED\x9F\xBF\xF4\x8F\xBF\xBF");
  EXPECT_EQ(
      trim_whitespace(
          " \t\r\v\xC2\x85\xE2\x80\x8A\xE2\x80\x8Bx y\xEF\xBB\xBF\xC2\xA0\xE2\x80\xA9\xE3\x80\x80"),
      "\xE2\x80\x8Bx y\xEF\xBB\xBF");  // U+200B and U+FEFF are not White_Space
  EXPECT_EQ(quoted_value(R"(say "hi" \ bye)"), R"("say \"hi\" \\ bye")");
  EXPECT_EQ(quoted_value("a\nb\tc\rd\0e\x1b\x7f\xC2\x9F"s), R"("a\nb\tc\rd\0e\u{1b}\u{7f}\u{9f}")");
  EXPECT_EQ(quoted_value("caf\xC3\xA9 \xE2\x80\xA8 '\xFF"),
            "\"caf\xC3\xA9 \xE2\x80\xA8 '" + fffd + "\"");
}

}  // namespace
}  // namespace tarn
