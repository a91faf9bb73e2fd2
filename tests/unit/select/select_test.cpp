#include "select/select.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <set>

#include "unit/support/scratch_dir.h"

namespace tarn {
namespace {

using testing::StandInDbt;

/// Runs `dbt ls` as the stand-in answers it against orders, customers, two
/// versions of dim and a source: the ids selected, sorted, or the failure.
struct SelectModels : ::testing::Test {
  std::string select(SelectRequest request) {
    Manifest manifest;
    for (const std::string id : {"orders", "customers", "dim.v1", "dim.v2", "payments"}) {
      const std::string key = (id == "payments" ? "source.shop.raw." : "model.shop.") + id;
      ManifestNode& node = manifest.nodes[key];
      node.id = key;
      node.name = id.substr(0, id.find(".v"));
      node.version = id.starts_with("dim.") ? std::optional(id.substr(5)) : std::nullopt;
      node.is_source = id == "payments";
    }
    request.project_dir = project.path();
    const auto selection = select_models(request, manifest);
    return selection
               ? fmt::format("{}", fmt::join(std::set(selection->begin(), selection->end()), " "))
               : selection.error().message();
  }

  testing::ScratchDir project;
  StandInDbt dbt{StandInDbt::answer("")};
};

TEST_F(SelectModels, RunsDbtLsInTheProjectWithEveryWordInOrder) {
  select({{}, "dbt --wrapper", {"--target", "ci"}, "tag:daily  orders+", "state:modified", "/a b"});
  EXPECT_EQ(dbt.log(),
            project.path().string() +
                "\n--wrapper\nls\n--resource-type\nmodel\n--output\nname\n--quiet\n"
                "--select\ntag:daily\norders+\n--exclude\nstate:modified\n--state\n/a b\n"
                "--target\nci\n--\n");
}

struct Answer {
  const char* name;
  std::string out, err;
  int code;
  std::string result;  // the selected ids, sorted, or the failure message
};
void PrintTo(const Answer& c, std::ostream* os) {
  *os << c.name;
}

class DbtLsAnswer : public SelectModels, public ::testing::WithParamInterface<Answer> {};

TEST_P(DbtLsAnswer, NamesModelsOrFails) {
  dbt.behave(StandInDbt::answer(GetParam().out, GetParam().err, GetParam().code));
  EXPECT_EQ(select({{}, "dbt", {}, "x", {}, {}}), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DbtLsAnswer,
    ::testing::Values(
        Answer{"PaddedCrlfAndBlankLines", "  orders\r\n\r\n\t\n customers \u00a0\r\n\n   \norders",
               "", 0, "model.shop.customers model.shop.orders"},
        Answer{"PrintedVersion", "dim.v2\\n", "", 0, "model.shop.dim.v2"},
        Answer{"SharedNameTakesTheSmallerId", "dim\\n", "", 0, "model.shop.dim.v1"},
        Answer{"StandardErrorOfASuccessIsIgnored", "orders\\n", "customers\\n", 0,
               "model.shop.orders"},
        Answer{"Source", "orders\\npayments\\n", "", 0,
               "`dbt ls` selected payments, which isn't a model in the compiled "
               "manifest -- the manifest at --manifest is likely out of sync with the "
               "current project state; delete it and rerun (or point --manifest at a "
               "freshly compiled one)"},
        Answer{"Failed", "half\\n", "bad \\377\\n", 1,
               "`dbt ls` failed:\nstdout:\nhalf\n\nstderr:\nbad \uFFFD\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SelectModels, DoesNotStartDbtWhenAWordListIsBroken) {
  EXPECT_EQ(select({{}, "dbt", {}, "tag:'daily", {}, {}}),
            "could not run `dbt ls`: could not parse --select tag:'daily: missing closing quote");
  EXPECT_EQ(select({{}, "dbt", {}, "x", "\"x", {}}),
            "could not run `dbt ls`: could not parse --exclude \"x: missing closing quote");
  EXPECT_EQ(select({{}, "  ", {}, "x", {}, {}}),
            "could not run `   ls`: --dbt-command resolved to an empty command");
  EXPECT_EQ(dbt.log(), "");
}

}  // namespace
}  // namespace tarn
