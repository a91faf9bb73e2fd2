#pragma once
// Standard output and standard error as the run driver uses them. Writes go
// straight to the descriptors; a failed write never stops the run (the plan
// file must still be completed), it is only remembered.

#include <string_view>

namespace tarn {

class Console {
 public:
  void out(std::string_view text);
  void err(std::string_view text);
  /// The error number of the first failed write to standard output, 0 if none.
  int out_failure() const { return out_errno_; }

 private:
  int out_errno_ = 0;
};

}  // namespace tarn
