#pragma once
// The manifest reader's choice of one or two threads, open to tests.

#include <expected>
#include <string>
#include <string_view>

#include "manifest/manifest.h"

namespace tarn::manifest_detail {

/// How the values the reader does not keep are checked: on the reader's own
/// thread, on a second one while the reader goes on, or by size (two
/// threads from a few megabytes on). Every way gives the same result.
enum class Checking { automatic, one_thread, two_threads };

std::expected<Manifest, std::string> parse_manifest(std::string_view json, Checking checking);

}  // namespace tarn::manifest_detail
