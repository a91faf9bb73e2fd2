// split_shell_words on arbitrary bytes: the one failure text, and words that
// survive being quoted and split again.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "util/shell_words.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto words = tarn::split_shell_words(text);
  if (!words) {
    FUZZ_CHECK(words.error() == "missing closing quote");
    return 0;
  }
  std::string requoted;
  for (const std::string& word : *words) {
    requoted += tarn::quote_shell_word(word) + ' ';
  }
  auto again = tarn::split_shell_words(requoted);
  FUZZ_CHECK(again.has_value() && *again == *words);
  return 0;
}
