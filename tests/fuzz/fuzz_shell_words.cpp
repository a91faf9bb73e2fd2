// split_shell_words on arbitrary bytes: the one failure text, and words that survive being
// quoted and split again.
#include "fuzz_check.h"
#include "util/shell_words.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto words = tarn::split_shell_words(std::string_view(reinterpret_cast<const char*>(data), size));
  std::string requoted;
  for (const std::string& word : words.value_or(std::vector<std::string>{})) {
    requoted += tarn::quote_shell_word(word) + ' ';
  }
  FUZZ_CHECK(words ? tarn::split_shell_words(requoted) == *words
                   : words.error() == "missing closing quote");
  return 0;
}
