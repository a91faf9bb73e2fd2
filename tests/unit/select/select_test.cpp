#include "select/select.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <set>

#include "unit/support/scratch_dir.h"

namespace tarn {
namespace {

struct Case {
  const char* name;
  std::string answer;  // what the stand-in `dbt ls` does
  std::string result;  // the selected ids, sorted, or the failure message
  std::string select = "x";
  std::optional<std::string> exclude = {};
  std::string command = "dbt";
  friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

class SelectModels : public ::testing::TestWithParam<Case> {};

/// Against orders, customers, two versions of dim and a source; dbt starts only when every word
/// list splits.
TEST_P(SelectModels, NamesModelsOrFails) {
  const Case& c = GetParam();
  Manifest manifest;
  for (const std::string id : {"orders", "customers", "dim.v1", "dim.v2", "payments"}) {
    const std::string key = (id == "payments" ? "source.shop.raw." : "model.shop.") + id;
    ManifestNode& node = manifest.nodes[key];
    node.id = key;
    node.name = id.substr(0, id.find(".v"));
    node.version = id.starts_with("dim.") ? std::optional(id.substr(5)) : std::nullopt;
    node.is_source = id == "payments";
  }
  const testing::ScratchDir project;
  const testing::StandInDbt dbt(c.answer);
  const auto selection =
      select_models({project.path, c.command, {}, c.select, c.exclude, {}}, manifest);
  EXPECT_EQ(selection
                ? fmt::format("{}", fmt::join(std::set(selection->begin(), selection->end()), " "))
                : selection.error(),
            c.result);
  EXPECT_EQ(dbt.log().empty(), c.result.starts_with("could not run"));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Answers, SelectModels, ::testing::Values(
    Case{"PaddedCrlfBlankLinesAndASharedName",
         "printf '  orders\r\n\r\n\t\n dim \u00a0\r\n\n   \norders'",
         "model.shop.dim.v1 model.shop.orders"},
    Case{"PrintedVersionAndStandardErrorIgnored", "echo dim.v2; echo orders >&2",
         "model.shop.dim.v2"},
    Case{"Source", "echo orders; echo payments",
         "`dbt ls` selected payments, which isn't a model in the compiled manifest -- the manifest "
         "at --manifest is likely out of sync with the current project state; delete it and rerun "
         "(or point --manifest at a freshly compiled one)"},
    Case{"Failed", "printf 'out \\377\\n'; printf 'err \\377' >&2; exit 1",
         "`dbt ls` failed:\nstdout:\nout \uFFFD\n\nstderr:\nerr \uFFFD"},
    Case{"BrokenSelect", "",
         "could not run `dbt ls`: could not parse --select tag:'daily: missing closing quote",
         "tag:'daily"},
    Case{"BrokenExclude", "",
         "could not run `dbt ls`: could not parse --exclude \"x: missing closing quote",
         "x", "\"x"},
    Case{"EmptyCommand", "", "could not run `   ls`: --dbt-command resolved to an empty command",
         "x", {}, "  "}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace tarn
