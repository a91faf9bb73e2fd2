#pragma once
// Helpers for the manifest tests: one-line manifests built around a node
// body, and positions of a token in such a line as messages state them.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <expected>
#include <string>
#include <string_view>

#include "manifest/manifest.h"

namespace tarn::testing {

inline constexpr std::string_view model_id = "model.shop.orders";

/// A manifest whose `nodes` holds one entry with the given members.
inline std::string with_node(std::string_view members, std::string_view id = model_id) {
  return fmt::format(R"({{"nodes": {{"{}": {{{}}}}}}})", id, members);
}

/// A model named "orders" with extra members appended.
inline std::string with_model(std::string_view extra_members = "") {
  std::string members = R"("name": "orders", "resource_type": "model")";
  if (!extra_members.empty()) {
    members += ", ";
    members += extra_members;
  }
  return with_node(members);
}

/// A model whose config.meta.tarn has the given members.
inline std::string with_tarn(std::string_view tarn_members) {
  return with_model(fmt::format(R"("config": {{"meta": {{"tarn": {{{}}}}}}})", tarn_members));
}

inline Manifest parsed(std::string_view json) {
  auto manifest = parse_manifest(json);
  EXPECT_TRUE(manifest.has_value()) << json << "\n" << (manifest ? "" : manifest.error());
  return manifest ? std::move(*manifest) : Manifest{};
}

inline std::string parse_error(std::string_view json) {
  auto manifest = parse_manifest(json);
  EXPECT_FALSE(manifest.has_value()) << json;
  return manifest ? std::string() : manifest.error();
}

/// "line 1 column C" for the n-th (from 1) occurrence of `needle` in a
/// one-line ASCII text.
inline std::string position_of(std::string_view json, std::string_view needle, int nth = 1) {
  std::size_t at = std::string_view::npos;
  for (int i = 0; i < nth; ++i) {
    at = json.find(needle, at == std::string_view::npos ? 0 : at + 1);
  }
  EXPECT_NE(at, std::string_view::npos) << needle << " not in " << json;
  return fmt::format("line 1 column {}", at + 1);
}

/// A test-case name from a case's text: its letters and digits, runs of
/// anything else as one '_', then the case's index to keep names unique.
inline std::string case_name(std::string_view text, std::size_t index) {
  std::string name;
  for (char c : text.substr(0, 48)) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (plain) {
      name += c;
    } else if (!name.empty() && name.back() != '_') {
      name += '_';
    }
  }
  if (!name.empty() && name.back() != '_') {
    name += '_';
  }
  return name + std::to_string(index);
}

inline const ManifestNode& node_of(const Manifest& manifest, std::string_view id = model_id) {
  static const ManifestNode missing{};
  auto found = manifest.nodes.find(std::string(id));
  EXPECT_NE(found, manifest.nodes.end()) << id;
  return found == manifest.nodes.end() ? missing : found->second;
}

const ManifestNode& node_of(Manifest&&, std::string_view = model_id) = delete;

/// The node under `model_id` of a manifest that must parse, by value.
inline ManifestNode model_of(std::string_view json) {
  Manifest manifest = parsed(json);
  return node_of(manifest);
}

}  // namespace tarn::testing
