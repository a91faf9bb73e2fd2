#pragma once
// Turns a fuzzer's bytes into structured choices. Running out of bytes is not
// an error: every further choice reads zeros, so short inputs still build a
// small, valid case.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace tarn_fuzz {

class ByteSource {
 public:
  ByteSource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  std::uint64_t word() {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
      value = (value << 8) | byte();
    }
    return value;
  }

  /// A value in [0, bound); bound must be positive.
  std::size_t below(std::size_t bound) {
    std::size_t value = byte();
    if (bound > 256) {
      value = (value << 8) | byte();
    }
    return value % bound;
  }

  /// True with probability about percent / 100.
  bool chance(unsigned percent) { return byte() % 100 < percent; }

  /// Mostly small amounts, sometimes large, now and then any 64-bit value.
  std::int64_t amount() {
    const std::uint8_t kind = byte();
    if (kind < 200) {
      return static_cast<std::int64_t>(byte() % 34) - 3;
    }
    if (kind < 240) {
      return static_cast<std::int64_t>(word() % 200'001) - 100'000;
    }
    return static_cast<std::int64_t>(word());
  }

  std::string text(std::size_t max_length, std::string_view alphabet) {
    std::string out;
    const std::size_t length = below(max_length + 1);
    for (std::size_t i = 0; i < length; ++i) {
      out += alphabet[below(alphabet.size())];
    }
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace tarn_fuzz
